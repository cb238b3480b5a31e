#include "tools/PkgtoolMetadata.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "model/PackageRecord.h"
#include "tools/PkgtoolCommon.h"
#include "tools/VersionText.h"

namespace pkgtool {

const char kHeaderOptionsHelp[] =
    "  --name NAME            1 to 16 bytes; not \".\" or \"..\", no \"/\", no blanks or\n"
    "                         control characters (required)\n"
    "  --version VERSION      6.2, 6.2.1 (final releases), 6.2alpha, 6.2beta5, 3.20rc2;\n"
    "                         numbers 0 to 255 (required)\n"
    "  --build-time SECONDS   seconds since 1970-01-01 00:00 UTC; default: the value of\n"
    "                         SOURCE_DATE_EPOCH when set, else the current time\n"
    "  --arch ARCH            architecture the router must have; a package without\n"
    "                         one counts as \"i386\"\n"
    "  --description TEXT     free text\n"
    "  --note TEXT            shown in the Note column of \"installer --show\" for\n"
    "                         packages kept whole (with an image part)\n"
    "  --depends RANGE        a package that must be installed (repeatable)\n"
    "  --provides RANGE[:N]   a capability or package this one stands in for, with\n"
    "                         precedence N (signed, default 0): providing another\n"
    "                         package's name replaces it when N >= 0 and yields to it\n"
    "                         when N < 0; of two providers of one capability the\n"
    "                         higher N wins, equal ones coexist (repeatable)\n"
    "  --conflicts RANGE      a package that must not be active at the same time\n"
    "                         (repeatable)\n"
    "  --boot-image           header flag 1: the package carries the boot image\n"
    "  --no-metadata          header flag 2: the database keeps no metadata files for it\n"
    "  --flags N              further header flag bits (decimal or 0x hex), combined\n"
    "                         with the two above\n";

const char kRangeGrammarHelp[] =
    "Version ranges (RANGE):\n"
    "  NAME            any version          NAME=V      exactly V\n"
    "  NAME>=V         V or newer           NAME=V..W   V through W, both included\n"
    "  NAME<=V         V or older\n"
    "  e.g. system>=6.0, routing=6.2, wifi=6.0..6.9. Bounds are exact versions:\n"
    "  6.9 is older than 6.9.1, and 6.2rc1 is older than 6.2 (alpha < beta < rc <\n"
    "  final). NAME cannot contain '<', '>', '=' or ':'.\n";

const std::vector<OptionRecipe>& headerOptionRecipes() {
    static const std::vector<OptionRecipe> kRecipes = {
        {"name", 0, true, false},         {"version", 0, true, false},
        {"build-time", 0, true, false},   {"arch", 0, true, false},
        {"description", 0, true, false},  {"note", 0, true, false},
        {"depends", 0, true, true},       {"provides", 0, true, true},
        {"conflicts", 0, true, true},     {"boot-image", 0, false, false},
        {"no-metadata", 0, false, false}, {"flags", 0, true, false},
    };
    return kRecipes;
}

namespace {

bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

bool parseFlagWord(const std::string& text, uint32_t& value) {
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != 'x' && c != 'X') return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long parsed = std::strtoull(hex ? begin + 2 : begin, &end, hex ? 16 : 10);
    if (*end != '\0' || errno != 0 || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool readRanges(const std::vector<std::string>& texts, bool withPrecedence,
                std::vector<PackageRange>& out, std::string* why) {
    for (const std::string& text : texts) {
        PackageRange range;
        if (!parseRangeText(text, withPrecedence, range, why)) return false;
        out.push_back(range);
    }
    return true;
}

bool readBuildTime(const ParsedArgs& args, uint32_t& buildTime, std::string* why) {
    if (args.has("build-time")) {
        if (parseSeconds(args.value("build-time"), buildTime)) return true;
        return fail(why, "invalid build time \"" + args.value("build-time") +
                             "\" (expected seconds since 1970, 0 to 4294967295)");
    }
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        if (parseSeconds(epoch, buildTime)) return true;
        return fail(why, "SOURCE_DATE_EPOCH \"" + std::string(epoch) +
                             "\" is not a number of seconds (0 to 4294967295)");
    }
    std::time_t now = std::time(nullptr);
    if (now < 0 || static_cast<unsigned long long>(now) > 0xFFFFFFFFull)
        return fail(why, "the clock is outside the range of build times; give --build-time");
    buildTime = static_cast<uint32_t>(now);
    return true;
}

}  // namespace

bool readHeaderOptions(const ParsedArgs& args, HeaderOptions& options, std::string* why) {
    if (!args.has("name")) return fail(why, "no package name given (--name NAME)");
    if (!isValidPackageName(args.value("name"), why)) return false;
    options.name = args.value("name");
    if (!args.has("version")) return fail(why, "no version given (--version VERSION)");
    if (!parseVersionText(args.value("version"), options.version, why)) return false;
    if (!readBuildTime(args, options.buildTime, why)) return false;
    if (args.has("arch")) options.architecture = args.value("arch");
    if (args.has("description")) options.description = args.value("description");
    if (args.has("note")) options.note = args.value("note");
    if (!readRanges(args.values("depends"), false, options.dependencies, why)) return false;
    if (!readRanges(args.values("provides"), true, options.provides, why)) return false;
    if (!readRanges(args.values("conflicts"), false, options.conflicts, why)) return false;
    if (args.has("flags") || args.has("boot-image") || args.has("no-metadata")) {
        uint32_t flags = 0;
        if (args.has("flags") && !parseFlagWord(args.value("flags"), flags))
            return fail(why, "invalid flags \"" + args.value("flags") +
                                 "\" (expected a 32-bit number, decimal or 0x hex)");
        if (args.has("boot-image")) flags |= kFlagBootImage;
        if (args.has("no-metadata")) flags |= kFlagNoMetadata;
        options.flags = flags;
    }
    return true;
}

}  // namespace pkgtool
