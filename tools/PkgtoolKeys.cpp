#include "tools/PkgtoolKeys.h"

#include <algorithm>

#include "tools/Pkgtool.h"
#include "tools/Signer.h"

namespace pkgtool {

namespace {

const char kKeygenHelp[] =
    "usage: pkgtool keygen -o KEYFILE\n"
    "\n"
    "Makes a new secret signing key, writes it to KEYFILE (mode 0600; an existing\n"
    "file is never replaced) and prints the public key as 64 hex digits: the value\n"
    "to give the installer's build setting INSTALLER_PUBLIC_KEY so that routers\n"
    "accept packages signed with this key.\n"
    "\n"
    "The key file holds the 32 secret key bytes as 64 lowercase hex digits, byte 0\n"
    "first, and a newline. Keep it secret: anyone who has it can sign packages.\n"
    "\n"
    "Options:\n"
    "  -o, --output KEYFILE   the key file to create\n"
    "  -h, --help             show this text\n"
    "\n"
    "Exit status: 0 done, 2 usage error, 3 the key file exists or cannot be written.\n";

const char kPubkeyHelp[] =
    "usage: pkgtool pubkey KEYFILE\n"
    "       pkgtool pubkey --dev-key\n"
    "\n"
    "Prints the public key of a secret key file made by \"pkgtool keygen\" (or of\n"
    "the development key) as the 64 hex digits that INSTALLER_PUBLIC_KEY takes.\n"
    "\n"
    "Options:\n"
    "  --dev-key    the development key, which only test builds should accept\n"
    "  -h, --help   show this text\n"
    "\n"
    "Exit status: 0 done, 2 usage error, 3 the key file is unreadable or malformed.\n";

const std::vector<OptionRecipe> kKeygenOptions = {
    {"output", 'o', true, false},
    {"help", 'h', false, false},
};

const std::vector<OptionRecipe> kPubkeyOptions = {
    {"dev-key", 0, false, false},
    {"help", 'h', false, false},
};

int readKeyFile(const std::string& path, const Console& console, std::string& secretKey) {
    std::string text, why;
    if (!readWholeFile(path, text, &why)) return console.fail(kExitIo, why);
    if (!parseKeyFile(text, secretKey))
        return console.fail(kExitIo, path + ": not a key file (expected 64 hex digits)");
    // A scalar that is a multiple of the group order has no public key.
    if (pkgsign::publicKeyFor(secretKey).empty())
        return console.fail(kExitIo, path + ": not a usable key (a multiple of the group order)");
    return kExitOk;
}

}  // namespace

int loadSigningKey(const ParsedArgs& args, const Console& console, const std::string& command,
                   std::string& secretKey) {
    bool file = args.has("key");
    bool dev = args.has("dev-key");
    if (file && dev)
        return usageError(console, command, "give either --key or --dev-key, not both");
    if (!file && !dev)
        return usageError(console, command,
                          "no signing key: give --key KEYFILE (or --dev-key for test packages)");
    if (dev) {
        console.warn("signing with the development key: for tests only, never for production");
        secretKey = pkgsign::developmentSecretKey();
        return kExitOk;
    }
    return readKeyFile(args.value("key"), console, secretKey);
}

bool publicKeysFromArgs(const ParsedArgs& args, std::vector<PublicKey>& keys, std::string* why) {
    if (!args.has("public")) {
        keys = builtInPublicKeys();
        return true;
    }
    for (const std::string& text : args.values("public")) {
        std::vector<std::string> raw;
        if (!parsePublicKeyList(text, raw, why)) return false;
        for (const std::string& key : raw) {
            PublicKey k;
            std::copy(key.begin(), key.end(), k.begin());
            keys.push_back(k);
        }
    }
    return true;
}

int runKeygen(const std::vector<std::string>& argv, const Console& console) {
    ParsedArgs args;
    std::string why;
    if (!parseArgs(kKeygenOptions, argv, args, &why)) return usageError(console, "keygen", why);
    if (args.has("help")) {
        console.out << kKeygenHelp;
        return kExitOk;
    }
    if (!args.positional().empty())
        return usageError(console, "keygen",
                          "unexpected argument \"" + args.positional()[0] + "\"");
    if (!args.has("output") || args.value("output").empty())
        return usageError(console, "keygen", "no key file given (-o KEYFILE)");
    std::string secret = pkgsign::generateSecretKey();
    if (secret.size() != pkgsign::kSecretKeySize)
        return console.fail(kExitIo, "could not obtain random bytes for a key");
    if (!writeFileAtomically(args.value("output"), keyFileText(secret), 0600, true, &why))
        return console.fail(kExitIo, why);
    console.out << toHex(pkgsign::publicKeyFor(secret)) << "\n";
    return kExitOk;
}

int runPubkey(const std::vector<std::string>& argv, const Console& console) {
    ParsedArgs args;
    std::string why;
    if (!parseArgs(kPubkeyOptions, argv, args, &why)) return usageError(console, "pubkey", why);
    if (args.has("help")) {
        console.out << kPubkeyHelp;
        return kExitOk;
    }
    std::string secret;
    if (args.has("dev-key")) {
        if (!args.positional().empty())
            return usageError(console, "pubkey", "give either KEYFILE or --dev-key, not both");
        secret = pkgsign::developmentSecretKey();
    } else {
        if (args.positional().size() != 1)
            return usageError(console, "pubkey", "expected exactly one KEYFILE");
        int status = readKeyFile(args.positional()[0], console, secret);
        if (status != kExitOk) return status;
    }
    console.out << toHex(pkgsign::publicKeyFor(secret)) << "\n";
    return kExitOk;
}

}  // namespace pkgtool
