#include <string>
#include <vector>

#include "model/PackageRecord.h"
#include "tools/PackageWriter.h"
#include "tools/Pkgtool.h"
#include "tools/PkgtoolArgs.h"
#include "tools/PkgtoolCheck.h"
#include "tools/PkgtoolKeys.h"
#include "tools/PkgtoolLimits.h"
#include "tools/PkgtoolMetadata.h"
#include "tools/PkgtoolTree.h"

namespace pkgtool {

namespace {

const char kBuildUsage[] =
    "usage: pkgtool build [OPTIONS] DIRECTORY -o FILE\n"
    "       pkgtool build [OPTIONS] --no-files -o FILE\n"
    "\n"
    "Builds a signed package from the regular files (with their permission bits),\n"
    "directories and symbolic links below DIRECTORY. Paths are kept relative to\n"
    "DIRECTORY and land below /flash on the router: DIRECTORY/bin/tool installs as\n"
    "/flash/bin/tool. Entries are sorted and compressed deterministically, so the\n"
    "same tree and options with the same build time give the same file, apart from\n"
    "the signature, which is random.\n"
    "\n"
    "Output and signing:\n"
    "  -o, --output FILE      the package file; it appears only when complete\n"
    "  --key KEYFILE          sign with a key made by \"pkgtool keygen\"\n"
    "  --dev-key              sign with the development key: FOR TESTS ONLY, never\n"
    "                         for production packages (one of --key and --dev-key\n"
    "                         is required)\n"
    "\n"
    "Header and metadata:\n";

const char kBuildContentHelp[] =
    "\n"
    "Contents:\n"
    "  --no-files             no DIRECTORY: a package without a file container\n"
    "  --class PATH=CLASS     install PATH, and everything below it, only on machines\n"
    "                         of class CLASS (1 to 4); 0, the default, means every\n"
    "                         machine; the longest matching PATH wins (repeatable)\n"
    "  --image FILE           add an image part holding FILE (may be empty, e.g.\n"
    "                         /dev/null); the installer then keeps the whole package\n"
    "                         file in its database instead of metadata files\n"
    "  --unrecorded           an unrecorded package: installed without a database\n"
    "                         entry, and an installed package of the same name stays\n"
    "  -h, --help             show this text\n"
    "\n";

const char kBuildStatusHelp[] =
    "\n"
    "Exit status: 0 written, 2 usage error (including an invalid name, version or\n"
    "range), 3 a file could not be read or written (including a missing DIRECTORY),\n"
    "4 the input does not fit the package format (a file of 4 GiB or more, a name\n"
    "with blanks or control characters, a device, fifo or socket). On any error no\n"
    "output file is written.\n";

std::vector<OptionRecipe> buildOptionRecipes() {
    std::vector<OptionRecipe> recipes = {
        {"output", 'o', true, false},    {"key", 0, true, false},     {"dev-key", 0, false, false},
        {"no-files", 0, false, false},   {"class", 0, true, true},    {"image", 0, true, false},
        {"unrecorded", 0, false, false}, {"help", 'h', false, false},
    };
    const std::vector<OptionRecipe>& header = headerOptionRecipes();
    recipes.insert(recipes.end(), header.begin(), header.end());
    return recipes;
}

void printHelp(const Console& console) {
    console.out << kBuildUsage << kHeaderOptionsHelp << kBuildContentHelp << kRangeGrammarHelp
                << kBuildStatusHelp;
}

// What is wrong with the choice of files to package, or null.
const char* sourceMisuse(const ParsedArgs& args, bool noFiles) {
    const std::vector<std::string>& positional = args.positional();
    if (positional.size() > 1) return "more than one DIRECTORY given";
    if (noFiles && !positional.empty()) return "--no-files and a DIRECTORY exclude each other";
    if (!noFiles && positional.empty()) return "no DIRECTORY given (or --no-files)";
    if (noFiles && args.has("class")) return "--class needs a DIRECTORY";
    return nullptr;
}

}  // namespace

int runBuild(const std::vector<std::string>& argv, const Console& console) {
    ParsedArgs args;
    std::string why;
    if (!parseArgs(buildOptionRecipes(), argv, args, &why))
        return usageError(console, "build", why);
    if (args.has("help")) {
        printHelp(console);
        return kExitOk;
    }

    HeaderOptions header;
    if (!readHeaderOptions(args, header, &why)) return usageError(console, "build", why);
    const std::vector<std::string>& positional = args.positional();
    bool noFiles = args.has("no-files");
    if (const char* misuse = sourceMisuse(args, noFiles))
        return usageError(console, "build", misuse);
    std::string output = args.value("output");
    if (output.empty()) return usageError(console, "build", "no output file given (-o FILE)");

    if (header.flags && (*header.flags & kFlagNoMetadata) && !args.has("image"))
        console.warn(
            "--no-metadata without --image: unless its image is kept in "
            "/rw/pckg/.images/, the installer cannot describe the package at its "
            "next start and removes it");

    std::string secretKey;
    int status = loadSigningKey(args, console, "build", secretKey);
    if (status != kExitOk) return status;

    pkgwriter::PackageRecipe recipe;
    applyHeaderOptions(header, recipe);
    recipe.unrecorded = args.has("unrecorded");
    recipe.hasContainer = !noFiles;
    if (!noFiles) {
        status = readTree(positional[0], recipe.files, &why);
        if (status != kExitOk) return console.fail(status, why);
        if (!applyMachineClasses(recipe.files, args.values("class"), &why))
            return usageError(console, "build", why);
    }
    if (args.has("image")) {
        std::string image;
        if (!readWholeFile(args.value("image"), image, &why)) return console.fail(kExitIo, why);
        recipe.imagePart = image;
    }

    std::vector<pkgwriter::Part> parts = pkgwriter::buildPackageParts(recipe, &secretKey);
    if (!fitsPackageFormat(parts, &why)) return console.fail(kExitTooLarge, why);
    std::string bytes =
        pkgwriter::writePartsFile(parts, recipe.unrecorded ? kMagicUnrecorded : kMagicRegular);

    // A package that does not read back is never handed out.
    std::string publicKey = pkgsign::publicKeyFor(secretKey);
    PublicKey key;
    std::copy(publicKey.begin(), publicKey.end(), key.begin());
    FileReport check = examinePackage(bytes, {key});
    if (!check.ok())
        return console.fail(kExitBadPackage, "internal error: the package built does not verify: " +
                                                 check.problems.front());

    if (!writeFileAtomically(output, bytes, 0644, false, &why)) return console.fail(kExitIo, why);
    return kExitOk;
}

}  // namespace pkgtool
