// pkgtool through the built binary, as scripts use it: each row is a command
// line, the exit status it must give and pieces of text its output must hold.
// A command that fails leaves no output file behind. And the version text that
// package authors type, with the installer's own formatVersion as the oracle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "model/VersionNumber.h"
#include "support/Sandbox.h"
#include "tools/PkgtoolCommon.h"
#include "tools/Signer.h"
#include "tools/VersionText.h"
#include "tools/harness/ProcessRunner.h"

namespace {

using testsupport::readFile;
using testsupport::writeFile;

// In a command "@" is the test's directory, $PUB the key keygen printed, $DEV
// the development key; $K, $OK and $B complete a build or bundle into @/no.npk.
// A leading NAME=VALUE is for the environment. want: pieces of the output, "|"
// between them, "<FILE" for the text of FILE under tests/tools.
struct Row {
    const char* command;
    int status;
    const char* want = "";
};

const Row kBuildRows[] = {
    {"keygen -o @/k", 0},
    {"pubkey @/k", 0, "$PUB\n"},
    {"keygen -o @/k", 3, "error: @/k: file exists"},
    {"SOURCE_DATE_EPOCH=5 build @/tree -o @/p --key @/k --name routing --version 6.2beta5"
     " --build-time 1700000000 --arch mipsbe --description Routing\nprotocols --note keep"
     " --depends system>=6.0 --depends=wifi=6.0..6.9 --provides routing=6.2:10 --provides bgp:-1"
     " --conflicts old<=1.0 --boot-image --no-metadata --flags 0x100 --image @/plain"
     " --class lib=3 --class lib/fast.so=2",
     0},
    {"build --no-files --name beta --version 2.0rc1 --key @/k -o @/beta", 0},
    {"SOURCE_DATE_EPOCH=9 build @/tree --unrecorded --name u --version 1.0 --key @/k -o @/u", 0},
    {"build --no-files --no-metadata --name w --version 1.0 --dev-key -o @/w.npk", 0,
     "warning: --no-metadata without --image|warning: signing with the development key"},
    {"build @/missing $OK", 3, "error: @/missing: No such file or directory"},
    {"build @/plain $OK", 3, "error: @/plain: not a directory"},
    {"build @/tree --name seventeen-bytes-x --version 1.0 $K", 2, "\" is longer than 16 bytes"},
    {"build @/tree --name .. --version 1.0 $K", 2, "error: name \"..\" is not allowed"},
    {"build @/tree --name a/b --version 1.0 $K", 2, "error: name \"a/b\" contains \"/\""},
    {"build @/tree --name a\tb --version 1.0 $K", 2, "\" contains a blank or control character"},
    {"build @/tree --name= --version 1.0 $K", 2, "error: empty name"},
    {"build @/tree --version 1.0 $K", 2, "error: no package name given"},
    {"build @/tree $OK --version 2.0", 2, "error: option --version given more than once"},
    {"build @/tree --name p --version 6.2gamma $K", 2, "error: invalid version \"6.2gamma\""},
    {"build @/tree $OK --depends x>6.0", 2, "error: invalid range \"x>6.0\""},
    {"build @/tree $OK --conflicts x=2.0..1.0", 2, "\": lower bound above upper bound"},
    {"build @/tree $OK --depends x:1", 2, "\"x:1\": a precedence (\":N\") is only allowed in"},
    {"build @/tree $OK --provides x:2147483648", 2, "\" is not a signed 32-bit number"},
    {"build @/tree $OK --flags lots", 2, "error: invalid flags \"lots\""},
    {"build @/tree $OK --build-time -1", 2, "error: invalid build time \"-1\""},
    {"SOURCE_DATE_EPOCH=yesterday build @/tree $OK", 2, "error: SOURCE_DATE_EPOCH \"yesterday\""},
    {"build @/tree $OK --class nowhere=1", 2, "\"nowhere\": no such path in the tree"},
    {"build @/tree $OK --class tool=5", 2, "error: invalid machine class \"tool=5\""},
    {"build @/tree $OK --frobnicate", 2, "error: unknown option \"--frobnicate\""},
    {"build @/tree @/tree $OK", 2, "error: more than one DIRECTORY given"},
    {"build --no-files @/tree $OK", 2, "error: --no-files and a DIRECTORY exclude each other"},
    {"build $OK", 2, "error: no DIRECTORY given"},
    {"build @/tree --name p --version 1.0 -o @/no.npk", 2, "error: no signing key"},
    {"build @/tree $OK --dev-key", 2, "error: give either --key or --dev-key"},
    {"build @/tree --name p --version 1.0 --key @/plain -o @/no.npk", 3, "@/plain: not a key file"},
    {"build @/tree $OK --image @/none", 3, "error: @/none: No such file or directory"},
    {"build @/fifo $OK", 4, "@/fifo/pipe: not a regular file, directory or symbolic link"},
    {"build @/blank $OK", 4, "@/blank/a b: name contains a blank or control character"},
    {"build @/huge $OK", 4, "error: @/huge/4GiB: file too large for the package format"},
    {"build @/tree --name p --version 1.0 --key @/k -o @/none/p.npk", 3, "No such file"},
    {"", 2, "usage: pkgtool COMMAND"},
    {"frob", 2, "error: unknown command \"frob\""},
    {"help build", 0, "usage: pkgtool build|SOURCE_DATE_EPOCH|Exit status: 0 written"},
};

// After kBuildRows, with @/bad.npk and @/cut.npk made from @/p.
const Row kCheckRows[] = {
    {"inspect --public $PUB @/p", 0, "8          36     1 header\n|<package-parts-listing.txt"},
    {"inspect @/p", 1, "  signature: DOES NOT VERIFY\n|\nresult: FAILED\n"},
    {"verify --public $DEV,$PUB @/p", 0},
    {"verify --public $PUB @/bad.npk", 1},
    {"inspect --public $PUB @/cut.npk", 1, "(cut short by the end of the file)\n|result: FAILED"},
    {"inspect --public $PUB @/plain", 1, "problem: not a package file"},
    {"inspect --public $PUB @/u", 0, "(unrecorded package)\n|  build time: 9 (1970-01-01 00:00:09"},
    {"verify --public abc @/p", 2, "error: invalid public key \"abc\""},
    {"bundle --name suite --version 2.0 --public $PUB --default-off beta -o @/b @/p @/beta", 0},
    {"inspect --public $PUB @/b", 0,
     "   18 bundle header\n|   20 default-off list\n|bundle (its header parts are not covered by"
     " any signature):\n  name: suite\n|  image part: yes|  default off: beta\n|member 1:\n  name:"
     " routing\n|member 2:\n  name: beta\n  version: 2.0rc1 (0x02006301)\n|result: ok\n"},
    {"bundle $B", 2, "error: no MEMBER package given"},
    {"bundle $B @/p @/p", 2, "error: two members are named \"routing\""},
    {"bundle $B --default-off gamma @/p", 2, "--default-off gamma: no member of that name"},
    {"bundle $B @/bad.npk", 1, "error: @/bad.npk: the signature of package routing does not"},
    {"bundle $B @/u", 1, "an unrecorded package cannot be a member of a bundle"},
    {"bundle $B @/b", 1, "error: @/b: a bundle cannot be a member of a bundle"},
    {"bundle $B --no-image --image @/plain @/p", 2, "--no-image and --image exclude"},
    {"bundle --name s --version 2.0 --public $DEV -o @/no.npk @/p", 1, "does not verify"},
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    for (std::string piece; std::getline(in, piece, separator);) pieces.push_back(piece);
    return pieces;
}

class PkgtoolCommands : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string publicKey;

    std::string expand(std::string text) const {
        const std::pair<std::string, std::string> names[] = {
            {"$OK", "--name p --version 1.0 $K"},
            {"$K", "--key @/k -o @/no.npk"},
            {"$B", "--name s --version 2.0 --public $PUB -o @/no.npk"},
            {"$PUB", publicKey},
            {"$DEV", pkgtool::toHex(pkgsign::publicKeyFor(pkgsign::developmentSecretKey()))},
            {"@", dir.path()}};
        for (const auto& [from, to] : names)
            for (size_t at = text.find(from); at != std::string::npos;
                 at = text.find(from, at + to.size()))
                text.replace(at, from.size(), to);
        return text;
    }

    void run(const Row& row) {
        SCOPED_TRACE(row.command);
        std::vector<std::string> args;
        testsupport::ProcessOptions options;
        for (const std::string& word : split(expand(row.command), ' ')) {
            size_t eq = word.find('=');
            if (args.empty() && eq != std::string::npos)
                options.environment[word.substr(0, eq)] = word.substr(eq + 1);
            else
                args.push_back(word);
        }
        testsupport::ProcessResult r = testsupport::runProgram(PKGTOOL_BINARY, args, options);
        if (args.size() && args[0] == "keygen" && r.status == 0) publicKey = r.out.substr(0, 64);
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        for (std::string want : split(expand(row.want), '|')) {
            if (want[0] == '<') want = readFile(SOURCE_DIR "/tests/tools/" + want.substr(1));
            bool found = !want.empty() && (r.out + r.err).find(want) != std::string::npos;
            EXPECT_TRUE(found) << want << "\n" << r.out << r.err;
        }
        EXPECT_TRUE(row.status < 2 || r.out.empty()) << r.out;
        EXPECT_TRUE(row.status == 0 || !testsupport::exists(dir / "no.npk"));
    }
};

TEST_F(PkgtoolCommands, AnswerEachCommandLineWithItsStatusAndOutput) {
    ::umask(022);
    writeFile(dir / "tree/tool", "#!/bin/sh\necho tool\n", 0755);
    writeFile(dir / "tree/conf", "key=value\n", 0640);
    writeFile(dir / "tree/lib/fast.so", "fast");
    ASSERT_EQ(::symlink("tool", (dir / "tree/link").c_str()), 0);
    writeFile(dir / "plain", "not a package\n");
    writeFile(dir / "blank/a b", "x");
    writeFile(dir / "huge/4GiB", "");  // sparse: never read, as its size is refused first
    ASSERT_EQ(::truncate((dir / "huge/4GiB").c_str(), 0x100000000LL), 0);
    testsupport::makeDirs(dir / "fifo");
    ASSERT_EQ(::mkfifo((dir / "fifo/pipe").c_str(), 0644), 0);
    for (const Row& row : kBuildRows) run(row);
    struct stat key;  // a secret: readable by its owner alone
    EXPECT_TRUE(::stat((dir / "k").c_str(), &key) == 0 && (key.st_mode & 0777) == 0600);

    std::string package = readFile(dir / "p");
    writeFile(dir / "cut.npk", package.substr(0, package.size() - 30));
    package[package.size() - 80] ^= 0x08;  // in the file container, before the signature
    writeFile(dir / "bad.npk", package);
    for (const Row& row : kCheckRows) run(row);
}

TEST(VersionText, EachTextGivesItsVersionOrARefusal) {
    // clang-format off
    const std::pair<std::string, VersionNumber> cases[] = {  // 0: refused
        {"6.2", 0x06026600}, {"6.2.1", 0x06026601}, {"6.2beta5", 0x06026205}, {"6.2.0", 0x06026600},
        {"3.20rc2", 0x03146302}, {"5.0alpha", 0x05006100}, {"0.0", 0x00006600},
        {"6.2rc0", 0x06026300}, {"255.255.255", 0xFFFF66FF}, {"", 0}, {"6", 0}, {"6.", 0},
        {".2", 0}, {"6.2.", 0}, {"6..2", 0}, {"6.2.1.1", 0}, {"6.02", 0}, {"06.2", 0}, {"256.0", 0},
        {"6.256", 0}, {"6.2.256", 0}, {" 6.2", 0}, {"6.2 ", 0}, {"+6.2", 0}, {"-6.2", 0},
        {"6.2gamma", 0}, {"6.2Beta", 0}, {"6.2beta-1", 0}, {"6.2beta5x", 0}, {"6.2rc1.1", 0},
        {"6,2", 0}, {"0x06026600", 0}, {"6.2.1rc", 0}, {"6.2\xff", 0},
        {std::string("6.2\0", 4), 0}};
    // clang-format on
    for (const auto& [text, version] : cases) {
        VersionNumber v = 12345;
        std::string why;
        bool parsed = pkgtool::parseVersionText(text, v, &why);
        EXPECT_EQ(parsed ? v : 0, version) << text;
        EXPECT_TRUE(parsed || (v == 12345 && why.find("invalid version") == 0)) << text << why;
    }
    const unsigned numbers[] = {0, 1, 2, 9, 10, 19, 20, 99, 100, 199, 200, 255};
    for (unsigned major : numbers)
        for (unsigned minor : numbers)
            for (uint8_t stage : {kStageAlpha, kStageBeta, kStageReleaseCandidate, kStageFinal})
                for (unsigned build = 0; build < 256; ++build) {
                    VersionNumber v = makeVersion(major, minor, stage, build), back = 0;
                    ASSERT_TRUE(pkgtool::parseVersionText(formatVersion(v), back)) << v;
                    ASSERT_EQ(back, v) << formatVersion(v);
                }
}

}  // namespace
