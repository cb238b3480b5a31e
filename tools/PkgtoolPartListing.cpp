#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "model/PackageRecord.h"
#include "package/FileContainer.h"
#include "package/PartReader.h"
#include "tools/PackageWriter.h"
#include "tools/Pkgtool.h"
#include "tools/PkgtoolArgs.h"
#include "tools/PkgtoolCheck.h"
#include "tools/PkgtoolKeys.h"
#include "tools/VersionText.h"

namespace pkgtool {

namespace {

const char kInspectHelp[] =
    "usage: pkgtool inspect [--public HEX[,HEX...]] FILE\n"
    "\n"
    "Shows a package file or bundle: every part in order with its offset and\n"
    "length, the decoded header and metadata, the files of the container (mode,\n"
    "machine class, size, name) and whether each signature verifies. For a bundle\n"
    "it shows the bundle's own header, which no signature covers, and every member.\n"
    "Ranges are shown in the form \"pkgtool build\" takes them.\n"
    "\n"
    "Options:\n"
    "  --public HEX[,HEX...]  verify against these public keys (64 hex digits each;\n"
    "                         repeatable) instead of the installer's built-in ones\n"
    "  -h, --help             show this text\n"
    "\n"
    "Exit status: 0 the file is a valid package (or bundle) and every signature\n"
    "verifies, 1 it is not, 2 usage error, 3 the file cannot be read.\n";

const char kVerifyHelp[] =
    "usage: pkgtool verify [--public HEX[,HEX...]] FILE\n"
    "\n"
    "Checks a package file or bundle the way the installer reads it: file length,\n"
    "part order, header and metadata, file container, and the signature of every\n"
    "package (of every member, for a bundle). It prints nothing; the answer is the\n"
    "exit status. The bundle's own header parts are not covered by any signature,\n"
    "so a bundle that verifies may still carry altered bundle metadata.\n"
    "\n"
    "Options:\n"
    "  --public HEX[,HEX...]  verify against these public keys (64 hex digits each;\n"
    "                         repeatable) instead of the installer's built-in ones\n"
    "  -h, --help             show this text\n"
    "\n"
    "Exit status: 0 valid and signed, 1 not a valid package or a signature does\n"
    "not verify, 2 usage error, 3 the file cannot be read.\n";

const std::vector<OptionRecipe> kCheckOptions = {
    {"public", 0, true, true},
    {"help", 'h', false, false},
};

// Text parts may hold anything; control bytes are shown escaped so that one
// field stays one line.
std::string printable(const std::string& text) {
    std::ostringstream out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out << "\\n";
        } else if (c == '\t') {
            out << "\\t";
        } else if (c == '\\') {
            out << "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            out << "\\x" << std::hex << std::setw(2) << std::setfill('0') << unsigned(c)
                << std::dec;
        } else {
            out << c;
        }
    }
    return out.str();
}

std::string hex32(uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::setw(8) << std::setfill('0') << value;
    return out.str();
}

std::string timeText(uint32_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm;
    char text[64];
    if (!gmtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0)
        return std::to_string(seconds);
    return std::to_string(seconds) + " (" + text + ")";
}

std::string flagsText(uint32_t flags) {
    if (flags == 0) return "0";
    std::string text = hex32(flags);
    std::vector<std::string> names;
    if (flags & kFlagBootImage) names.push_back("boot image");
    if (flags & kFlagNoMetadata) names.push_back("no metadata files");
    if (flags & ~(kFlagBootImage | kFlagNoMetadata)) names.push_back("other bits");
    text += " (";
    for (size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + names[i];
    return text + ")";
}

// File type letters as ls shows them, by the POSIX type bits of the mode.
struct TypeLetter {
    uint16_t bits;
    char letter;
};
constexpr TypeLetter kTypeLetters[] = {
    {kModeRegularFile, '-'}, {kModeDirectory, 'd'}, {kModeSymlink, 'l'}, {0x2000, 'c'},
    {0x6000, 'b'},           {0x1000, 'p'},         {0xC000, 's'},
};

bool isSymlink(uint16_t mode) {
    return (mode & kModeTypeMask) == kModeSymlink;
}

std::string modeText(uint16_t mode) {
    char type = '?';
    for (const TypeLetter& t : kTypeLetters)
        if ((mode & kModeTypeMask) == t.bits) type = t.letter;
    std::string text(1, type);
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) text += (mode & (0400 >> i)) ? rwx[i] : '-';
    auto special = [&](int bit, size_t at, char set, char setNoExec) {
        if (mode & bit) text[at] = text[at] == '-' ? setNoExec : set;
    };
    special(04000, 3, 's', 'S');
    special(02000, 6, 's', 'S');
    special(01000, 9, 't', 'T');
    return text;
}

void printRanges(std::ostream& out, const char* label, const std::vector<PackageRange>& list,
                 bool withPrecedence) {
    out << "  " << label << ":";
    if (list.empty()) out << " none";
    out << "\n";
    for (const PackageRange& r : list)
        out << "    " << printable(formatRangeText(r, withPrecedence)) << "\n";
}

void printHeader(std::ostream& out, const PackageInfo& info) {
    out << "  name: " << printable(info.name) << "\n";
    out << "  version: " << formatVersion(info.version) << " (" << hex32(info.version) << ")\n";
    out << "  build time: " << timeText(info.buildTime) << "\n";
    out << "  flags: " << flagsText(info.flags) << "\n";
    out << "  architecture: " << printable(info.architecture) << "\n";
    if (!info.auxText.empty()) out << "  auxiliary text: " << printable(info.auxText) << "\n";
    out << "  description: " << printable(info.description) << "\n";
    out << "  note: " << printable(info.note) << "\n";
    printRanges(out, "depends", info.dependencies, false);
    printRanges(out, "provides", info.provides, true);
    printRanges(out, "conflicts", info.conflicts, false);
}

void printPackage(std::ostream& out, const PackageReport& p) {
    if (!p.headerParsed) {
        out << "  (header unreadable)\n";
        return;
    }
    printHeader(out, *p.info);
    if (p.hasImage)
        out << "  image part: " << p.imageSize
            << " bytes (the installer keeps the whole file in its database)\n";
    else
        out << "  image part: none\n";
    if (!p.hasContainer) {
        out << "  files: no file container\n";
    } else {
        out << "  files: " << p.entries.size() << (p.containerIntact ? "" : " (container damaged)")
            << "\n";
        if (!p.entries.empty()) out << "    mode        class        size  name\n";
        for (const ContainerEntryInfo& e : p.entries) {
            out << "    " << modeText(e.mode) << "  " << std::setw(5) << unsigned(e.machineClass)
                << "  " << std::setw(10) << e.size << "  " << printable(e.name);
            if (isSymlink(e.mode) && e.linkTarget.size() == e.size)
                out << " -> " << printable(e.linkTarget);
            out << "\n";
        }
    }
    const char* state = p.signature == SignatureState::Verified ? "verified"
                        : p.signature == SignatureState::Failed ? "DOES NOT VERIFY"
                                                                : "missing";
    out << "  signature: " << state << "\n";
}

void printReport(std::ostream& out, const std::string& path, const FileReport& r) {
    out << "file: " << path << "\n";
    out << "size: " << r.fileSize << " bytes\n";
    if (r.fileSize >= kFileHeaderSize) {
        const char* kind = r.magic == kMagicRegular      ? "package"
                           : r.magic == kMagicUnrecorded ? "unrecorded package"
                                                         : "unknown";
        out << "magic: " << hex32(r.magic) << " (" << kind << ")\n";
        out << "length: " << r.lengthField << " (file size " << uint64_t(r.lengthField) + 8
            << ")\n";
    }
    out << "\nparts:\n";
    out << "      offset      length  type\n";
    for (const PartSpan& s : r.parts) {
        out << "  " << std::setw(10) << s.offset << "  " << std::setw(10) << s.length << "  "
            << std::setw(4) << s.type << " " << partTypeName(s.type)
            << (s.truncated ? " (cut short by the end of the file)" : "") << "\n";
    }
    if (r.strayBytes) out << "  " << r.strayBytes << " stray bytes at the end\n";

    if (r.isBundle && r.bundle) {
        out << "\nbundle (its header parts are not covered by any signature):\n";
        printHeader(out, *r.bundle);
        out << "  image part: "
            << (r.bundle->hasImagePart ? "yes (the installer keeps the whole bundle)"
                                       : "none (members are uninstalled at the next run)")
            << "\n";
        out << "  default off:";
        if (r.defaultOff.empty()) out << " none";
        for (const std::string& name : r.defaultOff) out << " " << printable(name);
        out << "\n";
    }
    for (size_t i = 0; i < r.packages.size(); ++i) {
        if (r.isBundle)
            out << "\nmember " << i + 1 << ":\n";
        else
            out << "\npackage:\n";
        printPackage(out, r.packages[i]);
    }
    out << "\n";
    for (const std::string& problem : r.problems) out << "problem: " << problem << "\n";
    out << "result: " << (r.ok() ? "ok" : "FAILED") << "\n";
}

int check(const std::vector<std::string>& argv, const Console& console, const char* command,
          const char* help, bool show) {
    ParsedArgs args;
    std::string why;
    if (!parseArgs(kCheckOptions, argv, args, &why)) return usageError(console, command, why);
    if (args.has("help")) {
        console.out << help;
        return kExitOk;
    }
    if (args.positional().size() != 1)
        return usageError(console, command, "expected exactly one FILE");
    std::vector<PublicKey> keys;
    if (!publicKeysFromArgs(args, keys, &why)) return usageError(console, command, why);
    const std::string& path = args.positional()[0];
    std::string bytes;
    if (!readWholeFile(path, bytes, &why)) return console.fail(kExitIo, why);
    FileReport report = examinePackage(bytes, keys);
    if (show) printReport(console.out, path, report);
    return report.ok() ? kExitOk : kExitBadPackage;
}

}  // namespace

int runInspect(const std::vector<std::string>& args, const Console& console) {
    return check(args, console, "inspect", kInspectHelp, true);
}

int runVerify(const std::vector<std::string>& args, const Console& console) {
    return check(args, console, "verify", kVerifyHelp, false);
}

}  // namespace pkgtool
