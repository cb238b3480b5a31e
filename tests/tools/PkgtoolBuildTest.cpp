// pkgtool keygen, pubkey and build through the built binary, as scripts use
// them. What build wrote is read back by the installer's own header parser,
// by zlib directly and by a byte-level part walk, and compared with what
// inspect shows.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "package/PackageHeader.h"
#include "tools/PkgtoolCheck.h"
#include "tools/PkgtoolTestSupport.h"
#include "tools/Signer.h"

namespace {

using pkgtooltest::fileExists;
using pkgtooltest::makeSampleTree;
using pkgtooltest::runBinary;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

uint32_t le32(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct RawPart {
    uint16_t type;
    size_t offset;
    std::string payload;
};

std::vector<RawPart> walkParts(const std::string& file) {
    std::vector<RawPart> parts;
    size_t at = 8;
    while (at + 6 <= file.size()) {
        uint16_t type = le16(file, at);
        uint32_t length = le32(file, at + 2);
        EXPECT_LE(at + 6 + length, file.size());
        parts.push_back({type, at, file.substr(at + 6, length)});
        at += 6 + length;
    }
    EXPECT_EQ(at, file.size());
    return parts;
}

const RawPart* findPart(const std::vector<RawPart>& parts, uint16_t type) {
    for (const RawPart& p : parts)
        if (p.type == type) return &p;
    return nullptr;
}

std::string inflateAll(const std::string& compressed) {
    z_stream zs{};
    EXPECT_EQ(inflateInit(&zs), Z_OK);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    zs.avail_in = static_cast<uInt>(compressed.size());
    std::string out;
    char chunk[4096];
    int rc;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - zs.avail_out);
    } while (rc == Z_OK);
    EXPECT_EQ(rc, Z_STREAM_END);
    inflateEnd(&zs);
    return out;
}

struct Entry {
    uint16_t mode;
    uint8_t machineClass;
    std::string name;
    std::string data;
};

std::vector<Entry> decodeEntries(const std::string& raw) {
    std::vector<Entry> entries;
    size_t at = 0;
    while (at + 30 <= raw.size()) {
        Entry e;
        e.mode = le16(raw, at);
        e.machineClass = static_cast<uint8_t>(raw[at + 23]);
        uint32_t size = le32(raw, at + 24);
        uint16_t nameLength = le16(raw, at + 28);
        e.name = raw.substr(at + 30, nameLength);
        e.data = raw.substr(at + 30 + nameLength, size);
        at += 30 + nameLength + size;
        entries.push_back(e);
    }
    EXPECT_EQ(at, raw.size());
    return entries;
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

std::string keygen(const TempDir& dir, std::string* publicHex) {
    std::string keyFile = dir / "signing.key";
    testsupport::ProcessResult r = runBinary({"keygen", "-o", keyFile});
    EXPECT_EQ(r.status, 0) << r.err;
    *publicHex = r.out.substr(0, 64);
    return keyFile;
}

TEST(PkgtoolBuild, PackageHoldsExactlyWhatBuildWasGivenAndInspectShowsIt) {
    TempDir dir;
    makeSampleTree(dir / "tree");
    testsupport::makeDirs(dir / "tree/lib/variant");
    writeFile(dir / "tree/lib/variant/fast.so", "fast", 0644);
    writeFile(dir / "image.bin", std::string("IMG\0DATA", 8));
    std::string publicHex;
    std::string key = keygen(dir, &publicHex);
    std::string out = dir / "routing.npk";

    testsupport::ProcessResult built = runBinary({"build",
                                                  dir / "tree",
                                                  "-o",
                                                  out,
                                                  "--key",
                                                  key,
                                                  "--name",
                                                  "routing",
                                                  "--version",
                                                  "6.2beta5",
                                                  "--build-time",
                                                  "1700000000",
                                                  "--arch",
                                                  "mipsbe",
                                                  "--description",
                                                  "Routing protocols\nand more",
                                                  "--note",
                                                  "keep me",
                                                  "--depends",
                                                  "system>=6.0",
                                                  "--depends=wifi=6.0..6.9",
                                                  "--provides",
                                                  "routing=6.2:10",
                                                  "--provides",
                                                  "bgp:-1",
                                                  "--conflicts",
                                                  "old<=1.0",
                                                  "--boot-image",
                                                  "--no-metadata",
                                                  "--flags",
                                                  "0x100",
                                                  "--image",
                                                  dir / "image.bin",
                                                  "--class",
                                                  "lib/variant=3",
                                                  "--class",
                                                  "lib/variant/fast.so=2"});
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.out, "");
    std::string bytes = readFile(out);
    EXPECT_EQ(le32(bytes, 0), 0xBAD0F11Eu);
    EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);

    // The installer's own parser.
    PackageFile file;
    ASSERT_TRUE(loadPackageFile(file, out));
    EXPECT_EQ(file.name, "routing");
    EXPECT_EQ(file.version, 0x06026205u);
    EXPECT_EQ(file.buildTime, 1700000000u);
    EXPECT_EQ(file.flags, 0x103u);
    EXPECT_EQ(file.architecture, "mipsbe");
    EXPECT_EQ(file.description, "Routing protocols\nand more");
    EXPECT_EQ(file.note, "keep me");
    EXPECT_TRUE(file.hasImagePart);
    ASSERT_EQ(file.dependencies.size(), 2u);
    EXPECT_EQ(file.dependencies[0].name, "system");
    EXPECT_EQ(file.dependencies[0].min, 0x06006600u);
    EXPECT_EQ(file.dependencies[0].max, 0u);
    EXPECT_EQ(file.dependencies[1].name, "wifi");
    EXPECT_EQ(file.dependencies[1].min, 0x06006600u);
    EXPECT_EQ(file.dependencies[1].max, 0x06096600u);
    ASSERT_EQ(file.provides.size(), 2u);
    EXPECT_EQ(file.provides[0].precedence, 10);
    EXPECT_EQ(file.provides[1].name, "bgp");
    EXPECT_EQ(file.provides[1].precedence, -1);
    ASSERT_EQ(file.conflicts.size(), 1u);
    EXPECT_EQ(file.conflicts[0].max, 0x01006600u);

    // The parts and the container, decoded without the project's readers.
    std::vector<RawPart> parts = walkParts(bytes);
    std::vector<uint16_t> types;
    for (const RawPart& p : parts) types.push_back(p.type);
    EXPECT_EQ(types, (std::vector<uint16_t>{1, 16, 2, 23, 3, 19, 17, 21, 4, 9}));
    EXPECT_EQ(findPart(parts, 21)->payload, std::string("IMG\0DATA", 8));
    EXPECT_EQ(findPart(parts, 1)->payload.size(), 36u);
    std::vector<Entry> entries = decodeEntries(inflateAll(findPart(parts, 4)->payload));
    std::vector<std::string> names;
    for (const Entry& e : entries) names.push_back(e.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"bin", "bin/tool", "etc", "etc/conf", "etc/empty",
                                        "etc/link", "lib", "lib/variant", "lib/variant/fast.so"}));
    EXPECT_EQ(entries[0].mode & 0xF000, 0x4000);
    EXPECT_EQ(entries[1].mode, 0x81EDu);  // regular, 0755
    EXPECT_EQ(entries[1].data, "#!/bin/sh\necho tool\n");
    EXPECT_EQ(entries[3].mode, 0x81A0u);  // regular, 0640
    EXPECT_EQ(entries[5].mode & 0xF000, 0xA000);
    EXPECT_EQ(entries[5].data, "../bin/tool");
    EXPECT_EQ(entries[1].machineClass, 0);
    EXPECT_EQ(entries[7].machineClass, 3);
    EXPECT_EQ(entries[8].machineClass, 2);  // the longer path wins
    EXPECT_EQ(entries[8].data, "fast");

    // inspect shows the same, and verifies against the key it is given.
    testsupport::ProcessResult shown = runBinary({"inspect", "--public", publicHex, out});
    ASSERT_EQ(shown.status, 0) << shown.out << shown.err;
    const std::string& text = shown.out;
    for (const char* line :
         {"  name: routing\n", "  version: 6.2beta5 (0x06026205)\n",
          "  build time: 1700000000 (2023-11-14 22:13:20 UTC)\n",
          "  flags: 0x00000103 (boot image, no metadata files, other bits)\n",
          "  architecture: mipsbe\n", "  description: Routing protocols\\nand more\n",
          "  note: keep me\n", "  depends:\n    system>=6.0\n    wifi=6.0..6.9\n",
          "  provides:\n    routing=6.2:10\n    bgp:-1\n", "  conflicts:\n    old<=1.0\n",
          "  image part: 8 bytes", "  files: 9\n", "    -rwxr-xr-x      0          20  bin/tool\n",
          "    -rw-r-----      0          10  etc/conf\n",
          "    lrwxrwxrwx      0          11  etc/link -> ../bin/tool\n",
          "    drwxr-xr-x      3           0  lib/variant\n",
          "    -rw-r--r--      2           4  lib/variant/fast.so\n", "  signature: verified\n",
          "result: ok\n"})
        EXPECT_TRUE(contains(text, line)) << line << "\n--- in ---\n" << text;
    for (const RawPart& p : parts) {
        char row[64];
        std::snprintf(row, sizeof row, "  %10zu  %10zu  %4u ", p.offset, p.payload.size(),
                      unsigned(p.type));
        EXPECT_TRUE(contains(text, row)) << row;
    }

    // Against the built-in keys (not this one) the signature fails: status 1.
    testsupport::ProcessResult builtIn = runBinary({"inspect", out});
    EXPECT_EQ(builtIn.status, 1);
    EXPECT_TRUE(contains(builtIn.out, "  signature: DOES NOT VERIFY\n"));
    EXPECT_TRUE(contains(builtIn.out, "result: FAILED\n"));
    EXPECT_EQ(runBinary({"verify", out}).status, 1);
    EXPECT_EQ(runBinary({"verify", "--public", publicHex, out}).status, 0);
    EXPECT_EQ(runBinary({"verify", "--public", std::string(64, '0') + "," + publicHex, out}).status,
              0);
}

TEST(PkgtoolBuild, UnrecordedAndFilelessPackages) {
    TempDir dir;
    std::string out = dir / "meta.npk";
    testsupport::ProcessResult r =
        runBinary({"build", "--no-files", "--unrecorded", "--name", "meta", "--version", "1.0",
                   "--build-time", "5", "--dev-key", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "development key"));
    std::string bytes = readFile(out);
    EXPECT_EQ(le32(bytes, 0), 0xA1100FFBu);
    std::vector<RawPart> parts = walkParts(bytes);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].type, 1);
    EXPECT_EQ(parts[0].payload.size(), 32u);  // no flags word without flags
    EXPECT_EQ(parts[1].type, 9);

    std::vector<pkgtool::PublicKey> keys = pkgtool::builtInPublicKeys();
    std::string devPublic = pkgsign::publicKeyFor(pkgsign::developmentSecretKey());
    bool devBuiltIn = std::any_of(keys.begin(), keys.end(), [&](const pkgtool::PublicKey& k) {
        return std::string(k.begin(), k.end()) == devPublic;
    });
    if (!devBuiltIn) GTEST_SKIP() << "this build does not accept the development key";
    testsupport::ProcessResult shown = runBinary({"inspect", out});
    EXPECT_EQ(shown.status, 0) << shown.out;
    EXPECT_TRUE(contains(shown.out, "(unrecorded package)"));
    EXPECT_TRUE(contains(shown.out, "  files: no file container\n"));
}

TEST(PkgtoolBuild, SameInputsAndBuildTimeGiveTheSameBytesButTheSignature) {
    TempDir dir;
    // Two copies of one tree, made in opposite orders.
    makeSampleTree(dir / "a");
    testsupport::makeDirs(dir / "b/etc/empty");
    ::symlink("../bin/tool", (dir / "b/etc/link").c_str());
    writeFile(dir / "b/etc/conf", "key=value\n", 0640);
    ::chmod((dir / "b/etc/conf").c_str(), 0640);
    testsupport::makeDirs(dir / "b/bin");
    writeFile(dir / "b/bin/tool", "#!/bin/sh\necho tool\n", 0755);
    ::chmod((dir / "b/bin/tool").c_str(), 0755);

    std::vector<std::string> common = {"--name",    "same",      "--version", "1.2.3",
                                       "--dev-key", "--depends", "x>=1.0"};
    std::map<std::string, std::string> env = {{"SOURCE_DATE_EPOCH", "1234567890"}};
    auto build = [&](const std::string& tree, const std::string& out) {
        std::vector<std::string> args = {"build", tree, "-o", out};
        args.insert(args.end(), common.begin(), common.end());
        testsupport::ProcessResult r = runBinary(args, env);
        EXPECT_EQ(r.status, 0) << r.err;
        return readFile(out);
    };
    std::string first = build(dir / "a", dir / "1.npk");
    std::string second = build(dir / "a", dir / "2.npk");
    std::string other = build(dir / "b", dir / "3.npk");
    ASSERT_EQ(first.size(), second.size());
    ASSERT_EQ(first.size(), other.size());
    const size_t rAndS = 48;  // r (16) and s (32) close the file
    size_t stable = first.size() - rAndS;
    EXPECT_EQ(first.substr(0, stable), second.substr(0, stable));
    EXPECT_EQ(first.substr(0, stable), other.substr(0, stable));
    EXPECT_NE(first.substr(stable), second.substr(stable));
    EXPECT_EQ(le32(first, 8 + 6 + 20), 1234567890u);

    // --build-time wins over the environment.
    std::vector<std::string> args = {"build", dir / "a", "-o", dir / "4.npk", "--build-time", "7"};
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_EQ(runBinary(args, env).status, 0);
    EXPECT_EQ(le32(readFile(dir / "4.npk"), 8 + 6 + 20), 7u);
}

TEST(PkgtoolBuild, KeygenWritesAPrivateKeyOnceAndPubkeyRepeatsIt) {
    TempDir dir;
    std::string publicHex;
    std::string key = keygen(dir, &publicHex);
    struct stat st;
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string text = readFile(key);
    ASSERT_EQ(text.size(), 65u);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), 64u);
    EXPECT_EQ(text[64], '\n');
    EXPECT_EQ(publicHex.find_first_not_of("0123456789abcdef"), std::string::npos);

    testsupport::ProcessResult again = runBinary({"pubkey", key});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, publicHex + "\n");

    testsupport::ProcessResult refused = runBinary({"keygen", "-o", key});
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(contains(refused.err, "file exists")) << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(readFile(key), text);

    testsupport::ProcessResult dev = runBinary({"pubkey", "--dev-key"});
    EXPECT_EQ(dev.status, 0);
    EXPECT_EQ(dev.out,
              pkgtool::toHex(pkgsign::publicKeyFor(pkgsign::developmentSecretKey())) + "\n");
    writeFile(dir / "bad.key", "not a key\n");
    EXPECT_EQ(runBinary({"pubkey", dir / "bad.key"}).status, 3);
    EXPECT_EQ(runBinary({"pubkey", dir / "missing.key"}).status, 3);
    EXPECT_EQ(runBinary({"pubkey"}).status, 2);
    EXPECT_EQ(runBinary({"keygen"}).status, 2);
    EXPECT_EQ(runBinary({"keygen", "-o", dir / "no/such/dir/k"}).status, 3);
}

std::vector<std::string> directoryNames(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PkgtoolBuild, BadInputGivesItsMessageAStatusAndNoOutputFile) {
    TempDir dir;
    makeSampleTree(dir / "tree");
    writeFile(dir / "plain", "x");
    writeFile(dir / "bad.key", "0123\n");
    testsupport::makeDirs(dir / "fifo");
    ASSERT_EQ(::mkfifo((dir / "fifo/pipe").c_str(), 0644), 0);
    testsupport::makeDirs(dir / "blank");
    writeFile(dir / "blank/a b", "x");
    testsupport::makeDirs(dir / "out");
    std::string out = dir / "out/p.npk";

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
        std::map<std::string, std::string> env;
    };
    const std::string tree = dir / "tree";
    const std::vector<std::string> ok = {"--name", "p", "--version", "1.0", "--dev-key", "-o", out};
    auto with = [&](std::vector<std::string> args, std::vector<std::string> base) {
        base.insert(base.end(), args.begin(), args.end());
        return base;
    };
    std::vector<Case> cases = {
        {with({dir / "missing"}, ok), 3, "missing: No such file or directory", {}},
        {with({dir / "plain"}, ok), 3, "plain: not a directory", {}},
        {with({tree, "--name", "seventeen-bytes-x", "--version", "1.0", "--dev-key", "-o", out},
              {}),
         2,
         "name \"seventeen-bytes-x\" is longer than 16 bytes",
         {}},
        {with({tree, "--name", "..", "--version", "1.0", "--dev-key", "-o", out}, {}),
         2,
         "name \"..\" is not allowed",
         {}},
        {with({tree, "--name", "a/b", "--version", "1.0", "--dev-key", "-o", out}, {}),
         2,
         "contains \"/\"",
         {}},
        {with({tree, "--name", "a\tb", "--version", "1.0", "--dev-key", "-o", out}, {}),
         2,
         "contains a blank or control character",
         {}},
        {with({tree, "--name", "", "--version", "1.0", "--dev-key", "-o", out}, {}),
         2,
         "empty name",
         {}},
        {with({tree, "--version", "1.0", "--dev-key", "-o", out}, {}), 2, "no package name", {}},
        {with({tree, "--name", "p", "--version", "6.2beta", "--dev-key", "-o", out, "--version",
               "2.0"},
              {}),
         2,
         "option --version given more than once",
         {}},
        {with({tree, "--name", "p", "--version", "6.2gamma", "--dev-key", "-o", out}, {}),
         2,
         "invalid version \"6.2gamma\"",
         {}},
        {with({tree, "--depends", "x>6.0"}, ok), 2, "invalid range \"x>6.0\"", {}},
        {with({tree, "--conflicts", "x=2.0..1.0"}, ok), 2, "lower bound above upper bound", {}},
        {with({tree, "--flags", "lots"}, ok), 2, "invalid flags", {}},
        {with({tree, "--build-time", "-1"}, ok), 2, "invalid build time", {}},
        {with({tree}, ok),
         2,
         "SOURCE_DATE_EPOCH \"yesterday\"",
         {{"SOURCE_DATE_EPOCH", "yesterday"}}},
        {with({tree, "--class", "nowhere=1"}, ok), 2, "no such path in the tree", {}},
        {with({tree, "--class", "bin=5"}, ok), 2, "invalid machine class", {}},
        {with({tree, "--frobnicate"}, ok), 2, "unknown option \"--frobnicate\"", {}},
        {with({tree, tree}, ok), 2, "more than one DIRECTORY", {}},
        {with({"--no-files", tree}, ok), 2, "exclude each other", {}},
        {with({}, ok), 2, "no DIRECTORY given", {}},
        {{"build", tree, "--name", "p", "--version", "1.0", "-o", out}, 2, "no signing key", {}},
        {with({tree, "--key", dir / "bad.key"}, ok), 2, "either --key or --dev-key", {}},
        {{"build", tree, "--name", "p", "--version", "1.0", "--key", dir / "bad.key", "-o", out},
         3,
         "bad.key: not a key file",
         {}},
        {{"build", tree, "--name", "p", "--version", "1.0", "--key", dir / "none.key", "-o", out},
         3,
         "none.key: No such file or directory",
         {}},
        {with({tree, "--image", dir / "none.img"}, ok), 3, "none.img: No such file", {}},
        {with({tree, "--image", tree}, ok), 3, "tree: Is a directory", {}},
        {with({dir / "fifo"}, ok), 4, "not a regular file, directory or symbolic link", {}},
        {with({dir / "blank"}, ok), 4, "name contains a blank or control character", {}},
        {{"build", tree, "--name", "p", "--version", "1.0", "--dev-key", "-o", dir / "none/p.npk"},
         3,
         "No such file or directory",
         {}},
    };
    for (Case& c : cases) {
        if (c.args.empty() || c.args[0] != "build") c.args.insert(c.args.begin(), "build");
        testsupport::ProcessResult r = runBinary(c.args, c.env);
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, "pkgtool: error: ")) << shown << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << shown << "\n" << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_TRUE(directoryNames(dir / "out").empty()) << shown;
    }
}

TEST(PkgtoolBuild, AFileTooLargeForTheFormatIsRefusedBeforeItIsRead) {
    TempDir dir;
    testsupport::makeDirs(dir / "tree");
    std::string big = dir / "tree/huge";
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    // Sparse: 4 GiB occupy no disk space and are never read.
    int truncated = ::ftruncate(fd, 0x100000000LL);
    ::close(fd);
    if (truncated != 0) GTEST_SKIP() << "cannot make a 4 GiB sparse file here";
    testsupport::makeDirs(dir / "out");
    testsupport::ProcessResult r = runBinary({"build", dir / "tree", "--name", "big", "--version",
                                              "1.0", "--dev-key", "-o", dir / "out/big.npk"});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "huge: file too large for the package format")) << r.err;
    EXPECT_TRUE(directoryNames(dir / "out").empty());
}

TEST(PkgtoolBuild, EveryCommandHasHelpAndMistakesAreUsageErrors) {
    for (const char* command : {"keygen", "pubkey", "build", "bundle", "inspect", "verify"}) {
        testsupport::ProcessResult r = runBinary({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: pkgtool ") + command, 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, "Exit status")) << command;
        EXPECT_EQ(runBinary({"help", command}).out, r.out) << command;
    }
    testsupport::ProcessResult build = runBinary({"build", "-h"});
    EXPECT_TRUE(contains(build.out, "NAME=V..W"));
    EXPECT_TRUE(contains(build.out, "SOURCE_DATE_EPOCH"));
    EXPECT_TRUE(contains(runBinary({"bundle", "--help"}).out, "NOT covered by any signature"));
    EXPECT_TRUE(contains(runBinary({"verify", "--help"}).out, "not covered by any signature"));

    testsupport::ProcessResult top = runBinary({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_TRUE(contains(top.out, "Exit status:"));
    testsupport::ProcessResult none = runBinary({});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(contains(none.err, "usage: pkgtool"));
    testsupport::ProcessResult unknown = runBinary({"frob"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(contains(unknown.err, "unknown command \"frob\""));
    EXPECT_EQ(runBinary({"help", "frob"}).status, 2);
    EXPECT_EQ(runBinary({"verify"}).status, 2);
    EXPECT_EQ(runBinary({"inspect", "--public", "abc", "x"}).status, 2);
    EXPECT_EQ(runBinary({"verify", "/nonexistent/file"}).status, 3);
    testsupport::ProcessResult directory = runBinary({"inspect", "/tmp"});
    EXPECT_EQ(directory.status, 3);
    EXPECT_TRUE(contains(directory.err, "/tmp: Is a directory")) << directory.err;
}

}  // namespace
