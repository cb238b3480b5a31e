#include "tools/Pkgtool.h"

namespace pkgtool {

namespace {

const char kUsage[] =
    "usage: pkgtool COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Builds, signs, bundles, inspects and verifies packages for the installer.\n"
    "\n"
    "Commands:\n"
    "  keygen -o KEYFILE          make a secret signing key, print its public key\n"
    "  pubkey KEYFILE             print the public key of a secret key file\n"
    "  build [OPTIONS] DIRECTORY  build a signed package from a directory tree\n"
    "  bundle [OPTIONS] MEMBER... combine built packages into a multi-package stream\n"
    "  inspect [OPTIONS] FILE     show the parts, header, files and signature of a file\n"
    "  verify [OPTIONS] FILE      check a file; the answer is the exit status\n"
    "  help [COMMAND]             show this text or the help of a command\n"
    "\n"
    "\"pkgtool COMMAND --help\" describes each command.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the package does not verify or is not a valid package\n"
    "  2  usage error: unknown option, missing or invalid argument\n"
    "  3  a file could not be read or written, or a key file is malformed\n"
    "  4  the input does not fit the package format (e.g. a file of 4 GiB or more)\n";

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&, const Console&);
};

constexpr Command kCommands[] = {
    {"keygen", runKeygen}, {"pubkey", runPubkey},   {"build", runBuild},
    {"bundle", runBundle}, {"inspect", runInspect}, {"verify", runVerify},
};

const Command* findCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace

int runPkgtool(const std::vector<std::string>& args, const Console& console) {
    if (args.empty()) {
        console.err << kUsage;
        return kExitUsage;
    }
    const std::string& first = args[0];
    if (first == "--help" || first == "-h" || (first == "help" && args.size() == 1)) {
        console.out << kUsage;
        return kExitOk;
    }
    if (first == "help") {
        const Command* command = findCommand(args[1]);
        if (!command) return console.fail(kExitUsage, "unknown command \"" + args[1] + "\"");
        return command->run({"--help"}, console);
    }
    const Command* command = findCommand(first);
    if (!command)
        return console.fail(kExitUsage, "unknown command \"" + first +
                                            "\" (\"pkgtool --help\" lists the commands)");
    return command->run(std::vector<std::string>(args.begin() + 1, args.end()), console);
}

}  // namespace pkgtool
