#include <set>
#include <string>
#include <vector>

#include "tools/PackageWriter.h"
#include "tools/Pkgtool.h"
#include "tools/PkgtoolArgs.h"
#include "tools/PkgtoolCheck.h"
#include "tools/PkgtoolKeys.h"
#include "tools/PkgtoolLimits.h"
#include "tools/PkgtoolMetadata.h"
#include "tools/VersionText.h"

namespace pkgtool {

namespace {

const char kBundleUsage[] =
    "usage: pkgtool bundle [OPTIONS] MEMBER... -o FILE\n"
    "\n"
    "Combines packages already built with \"pkgtool build\" into one multi-package\n"
    "stream: the bundle's own header and metadata, then each MEMBER whole, in the\n"
    "order given, each keeping its own signature. Members must verify (against the\n"
    "installer's built-in keys, or the --public keys) and have distinct names.\n"
    "\n"
    "The bundle's own header parts (name, version, metadata, image part and\n"
    "default-off list) are NOT covered by any signature: only the members are\n"
    "signed. Distribute bundles over channels you trust as much as the packages.\n"
    "\n"
    "By default the bundle carries an (empty) image part: the installer then keeps\n"
    "the whole bundle file in its database and derives its members from it. The\n"
    "members of a bundle without one (--no-image) are uninstalled again at the\n"
    "installer's next run, so --no-image suits one-off installs only.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE      the bundle file; it appears only when complete\n"
    "  --default-off NAME     install member NAME disabled unless the user chose its\n"
    "                         state (repeatable)\n"
    "  --no-image             leave out the image part\n"
    "  --image FILE           an image part holding FILE instead of an empty one\n"
    "  --public HEX[,HEX...]  check the members against these public keys (64 hex\n"
    "                         digits each; repeatable) instead of the built-in ones\n"
    "  -h, --help             show this text\n"
    "\n"
    "The bundle's header and metadata (none of them signed):\n";

const char kBundleStatusHelp[] =
    "\n"
    "Exit status: 0 written, 1 a member is not a valid package or does not verify,\n"
    "2 usage error, 3 a file could not be read or written, 4 the bundle would be\n"
    "too large for the format. On any error no output file is written.\n";

std::vector<OptionRecipe> bundleOptionRecipes() {
    std::vector<OptionRecipe> recipes = {
        {"output", 'o', true, false}, {"default-off", 0, true, true}, {"no-image", 0, false, false},
        {"image", 0, true, false},    {"public", 0, true, true},      {"help", 'h', false, false},
    };
    const std::vector<OptionRecipe>& header = headerOptionRecipes();
    recipes.insert(recipes.end(), header.begin(), header.end());
    return recipes;
}

// Reads and checks one member; returns an ExitStatus after printing the error.
int readMember(const std::string& path, const std::vector<PublicKey>& keys, const Console& console,
               std::string& bytes, std::string& name) {
    std::string why;
    if (!readWholeFile(path, bytes, &why)) return console.fail(kExitIo, why);
    FileReport report = examinePackage(bytes, keys);
    if (!report.ok()) return console.fail(kExitBadPackage, path + ": " + report.problems.front());
    if (report.isBundle)
        return console.fail(kExitBadPackage, path + ": a bundle cannot be a member of a bundle");
    if (report.magic != kMagicRegular)
        return console.fail(kExitBadPackage,
                            path + ": an unrecorded package cannot be a member of a bundle");
    name = report.packages.front().info->name;
    return kExitOk;
}

// Reads every member package given, each verified against the keys; their
// names must differ.
int readMembers(const ParsedArgs& args, const std::vector<PublicKey>& keys, const Console& console,
                std::vector<std::string>& members, std::set<std::string>& names) {
    for (const std::string& path : args.positional()) {
        std::string bytes, name;
        int status = readMember(path, keys, console, bytes, name);
        if (status != kExitOk) return status;
        if (!names.insert(name).second)
            return usageError(console, "bundle", "two members are named \"" + name + "\"");
        members.push_back(std::move(bytes));
    }
    return kExitOk;
}

}  // namespace

int runBundle(const std::vector<std::string>& argv, const Console& console) {
    ParsedArgs args;
    std::string why;
    if (!parseArgs(bundleOptionRecipes(), argv, args, &why))
        return usageError(console, "bundle", why);
    if (args.has("help")) {
        console.out << kBundleUsage << kHeaderOptionsHelp << "\n"
                    << kRangeGrammarHelp << kBundleStatusHelp;
        return kExitOk;
    }
    HeaderOptions header;
    if (!readHeaderOptions(args, header, &why)) return usageError(console, "bundle", why);
    std::string output = args.value("output");
    if (output.empty()) return usageError(console, "bundle", "no output file given (-o FILE)");
    if (args.positional().empty()) return usageError(console, "bundle", "no MEMBER package given");
    if (args.has("no-image") && args.has("image"))
        return usageError(console, "bundle", "--no-image and --image exclude each other");
    for (const std::string& name : args.values("default-off"))
        if (!isValidPackageName(name, &why)) return usageError(console, "bundle", why);
    std::vector<PublicKey> keys;
    if (!publicKeysFromArgs(args, keys, &why)) return usageError(console, "bundle", why);

    std::vector<std::string> members;
    std::set<std::string> names;
    int status = readMembers(args, keys, console, members, names);
    if (status != kExitOk) return status;
    for (const std::string& name : args.values("default-off"))
        if (names.count(name) == 0)
            return usageError(console, "bundle",
                              "--default-off " + name + ": no member of that name");

    pkgwriter::BundleRecipe recipe;
    applyHeaderOptions(header, recipe);
    recipe.defaultOff = args.values("default-off");
    if (args.has("image")) {
        std::string image;
        if (!readWholeFile(args.value("image"), image, &why)) return console.fail(kExitIo, why);
        recipe.imagePart = image;
    } else if (!args.has("no-image")) {
        recipe.imagePart = std::string();
    }

    std::vector<pkgwriter::Part> ownParts = pkgwriter::buildBundleHeaderParts(recipe);
    if (!fitsPackageFormat(ownParts, &why)) return console.fail(kExitTooLarge, why);
    uint64_t total = pkgwriter::serializeParts(ownParts).size() + kFileHeaderSize;
    for (const std::string& m : members) total += m.size() - kFileHeaderSize;
    if (total > kMaxPackageFileSize)
        return console.fail(kExitTooLarge, "the bundle would be " + std::to_string(total) +
                                               " bytes long; the format allows at most "
                                               "4294967295");
    std::string bytes = pkgwriter::writeBundleFromFiles(recipe, members);

    FileReport check = examinePackage(bytes, keys);
    if (!check.ok())
        return console.fail(kExitBadPackage, "internal error: the bundle built does not verify: " +
                                                 check.problems.front());
    if (!writeFileAtomically(output, bytes, 0644, false, &why)) return console.fail(kExitIo, why);
    return kExitOk;
}

}  // namespace pkgtool
