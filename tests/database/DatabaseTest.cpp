// The package database on flash: entries written through a transaction and
// read back, damaged entries (entries.txt), and the scan of stored images.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "database/DatabaseWriter.h"
#include "database/PackageDatabase.h"
#include "model/InstallContext.h"
#include "support/Sandbox.h"
#include "tools/PackageWriter.h"
#include "transaction/FsTransaction.h"

namespace {

const VersionNumber kV62 = makeVersion(6, 2, kStageFinal, 0);  // 100820480
const VersionNumber kV10 = makeVersion(1, 0, kStageFinal, 0);  // 16803328
const std::string kDir = "/flash/var/pdb/";
int procIo = -1;  // /proc/self/io of the child, opened before the root changes

// A record on one line: name, version/build time, then what it has.
std::string recordText(const PackageRecord& r) {
    auto rangesText = [](const char* label, const std::vector<PackageRange>& list, bool prec) {
        std::string text = list.empty() ? "" : std::string(" ") + label;
        for (const PackageRange& e : list)
            text += " " + e.name + ":" + std::to_string(e.min) + ":" + std::to_string(e.max) +
                    (prec ? ":" + std::to_string(e.precedence) : "");
        return text;
    };
    std::string text = r.name + " " + std::to_string(r.version) + "/" + std::to_string(r.buildTime);
    text += rangesText("deps", r.dependencies, false) + rangesText("provides", r.provides, true) +
            rangesText("conflicts", r.conflicts, false);
    if (!r.bundle.name.empty()) text += rangesText("in", {r.bundle}, false);
    for (const std::string& path : r.files) text += " " + path;
    text += std::string(r.isBundle ? " bundle" : "") + (r.disabled ? " disabled" : "") +
            (r.userForced ? " user" : "") + (r.pendingAction ? " " : "") +
            actionWord(r.pendingAction) + (r.flags ? " flags=" + std::to_string(r.flags) : "") +
            (r.note.empty() ? "" : " note=" + r.note) +
            (r.auxText.empty() ? "" : " aux=" + r.auxText) +
            (r.architecture.empty() ? "" : " arch=" + r.architecture);
    return text;
}

// An entry directory's files as "name:content|name:content", each of mode 0600.
std::string entryText(const std::string& directory) {
    std::string text;
    for (const char* name :
         {"version", "deps", "provides", "conflicts", "bundle", "files", "disabled", "enabled"}) {
        struct stat st {};
        if (stat((directory + name).c_str(), &st) != 0) continue;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        text +=
            (text.empty() ? "" : "|") + (name + (":" + testsupport::readFile(directory + name)));
    }
    return text;
}

// "name:content|name:content" as files below a directory ("schedule" is the
// entry's schedule file); \n and \t in contents stand for newline and tab.
std::vector<std::pair<std::string, std::string>> entryFiles(const std::string& entry,
                                                            const std::string& listing) {
    std::vector<std::pair<std::string, std::string>> files;
    std::istringstream parts(listing);
    for (std::string part; std::getline(parts, part, '|');) {
        std::string name = part.substr(0, part.find(':')), content = part.substr(name.size() + 1);
        for (size_t at; (at = content.find('\\')) != std::string::npos;)
            content.replace(at, 2, content[at + 1] == 'n' ? "\n" : "\t");
        files.emplace_back((name == "schedule" ? "/ram/pdb/" : kDir) + entry + "/" + name, content);
    }
    return files;
}

// Runs body in a child chrooted into a fresh root holding the given files.
void inRoot(const std::vector<std::pair<std::string, std::string>>& files,
            const std::function<void()>& body) {
    testsupport::TempDir root;
    for (const auto& [path, content] : files) testsupport::writeFile(root.path() + path, content);
    auto child = [&] {
        procIo = open("/proc/self/io", O_RDONLY);
        ASSERT_TRUE(chroot(root.path().c_str()) == 0 && chdir("/") == 0);
        body();
    };
    EXPECT_EQ(testsupport::runInChild(child), 0);
}

// What the writer leaves in the entry directory, over the files of an earlier
// version, and what the reader makes of it.
TEST(DatabaseEntry, WrittenThenReadBack) {
    using Fill = std::function<void(PackageRecord&)>;
    const std::tuple<Fill, const char*, const char*> cases[] = {
        {[](PackageRecord& r) {
             r.version = kV62, r.buildTime = 4000000000u, r.disabled = r.userForced = true;
             r.dependencies = {{"base", 1, 4294967295u, 0}, {"lib", 0, 0, 0}};
             r.provides = {{"api", 5, 6, -7}}, r.conflicts = {{"old", 0, 3, 0}};
             r.bundle = {"bund", kV62, kV62, 0};
             r.files = {"", "/flash/lib/b", "/flash/bin/a", "flash/z"};  // "" is no path
         },
         "version:100820480 4000000000\n|deps:base 1 4294967295\nlib 0 0\n|provides:api 5 6 -7\n"
         "|conflicts:old 0 3\n|bundle:bund\n|files:flash/bin/a\nflash/lib/b\nflash/z\n"
         "|disabled:user\n",
         "pkg 100820480/4000000000 deps base:1:4294967295 lib:0:0 provides api:5:6:-7 "
         "conflicts old:0:3 in bund:0:0 /flash/bin/a /flash/lib/b /flash/z disabled user "
         "uninstall"},
        {[](PackageRecord& r) { r.version = 1; }, "version:1 0\n|deps:|files:", "pkg 1/0"},
        {[](PackageRecord& r) { r.version = 1, r.isBundle = r.userForced = true; },
         "version:1 0\n|deps:|enabled:user\n", "pkg 1/0 bundle user"},
        // Described by its image, or by its own choice: state files only.
        {[](PackageRecord& r) { r.version = 1, r.hasImagePart = true; }, "",
         "pkg 0/0 bundle uninstall"},
        {[](PackageRecord& r) { r.version = 1, r.flags = kFlagNoMetadata, r.disabled = true; },
         "disabled:auto\n", "pkg 0/0 bundle disabled uninstall"},
    };
    for (const auto& c : cases) {
        auto writeThenRead = [&c] {
            const auto& [fill, files, readBack] = c;
            PackageRecord record("pkg"), back("pkg");
            fill(record);
            Console console;
            FsTransaction transaction;
            ASSERT_TRUE(writeDatabaseEntry(console, record, transaction) &&
                        transaction.commit(nullptr));
            EXPECT_EQ(entryText(kDir + "pkg/"), files);
            EXPECT_TRUE(readDatabaseEntry(back));
            EXPECT_EQ(recordText(back), readBack);
        };
        inRoot(entryFiles("pkg", "bundle:old|provides:p 1 1 1|files:a|disabled:auto|enabled:user"),
               writeThenRead);
    }
}

TEST(DatabaseEntry, ReadFromItsFiles) {
    std::ifstream table(std::string(SOURCE_DIR) + "/tests/database/entries.txt");
    ASSERT_TRUE(table.is_open());
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        inRoot(entryFiles("e", line.substr(0, line.find(" => "))), [&] {
            PackageRecord record("e");
            readDatabaseEntry(record);
            EXPECT_EQ(line.substr(0, line.find(" => ") + 4) + recordText(record), line);
        });
    }
}

// A metadata file that cannot be made is named in one error line. A staged
// removal of a database folder is withdrawn when the folder is claimed again.
TEST(DatabaseEntry, WritingFailsWithOneMessage) {
    inRoot({{kDir + "pkg", ""}, {kDir + "gone/version", "1 1"}}, [] {
        std::ostringstream out;
        Console console;
        console.setOutput(out);
        PackageRecord pkg("pkg"), gone("gone");
        pkg.version = gone.version = kV62;
        FsTransaction transaction;
        EXPECT_FALSE(writeDatabaseEntry(console, pkg, transaction));
        EXPECT_EQ(out.str(),
                  "ERROR: installation of pkg-6.2 failed: could not create meta/version: " +
                      std::string(std::strerror(ENOTDIR)) + "\n");
        transaction.remove(kDir + "gone/");
        EXPECT_TRUE(createDatabaseEntry(console, gone, transaction));
        EXPECT_EQ(transaction.entries.count(kDir + "gone/"), 0u) << "its removal is withdrawn";
    });
}

pkgwriter::PackageRecipe recipe(const std::string& name, VersionNumber version) {
    pkgwriter::PackageRecipe r;
    r.name = name, r.version = version, r.buildTime = 77;
    return r;
}

// Bytes that read calls of the child returned so far.
uint64_t bytesRead() {
    char text[1024] = {};
    EXPECT_GT(pread(procIo, text, sizeof text - 1, 0), 0);
    const char* field = std::strstr(text, "rchar:");
    return field ? std::strtoull(field + 6, nullptr, 10) : 0;
}

// The records loaded, one a line, after what the console shows.
std::string loadedText() {
    InstallContext context;
    std::ostringstream console;
    context.console.setOutput(console);
    loadInstalledPackages(context, false, "mipsbe");
    std::string text = console.str();
    for (const auto& r : context.packages) text += recordText(*r) + "\n";
    return text;
}

// Each entry's own image first, a bundle's members just before it, then the
// image directory's for the names the database lists, then entries described by
// metadata files; only header parts are read. A member header without a version
// (or a whole image that cannot be parsed) leaves the record to its metadata
// files, where a bundle file names a bundle without versions; a header cut short
// ends the bundle.
TEST(ImageScan, EveryKindOfEntryAndDamagedImages) {
    pkgwriter::BundleRecipe full;
    full.name = "bund", full.version = kV62, full.buildTime = 1, full.flags = 0x10;
    full.auxText = "aux", full.note = "the note", full.architecture = "mips";
    full.dependencies = {{"base", kV10, 0, 0}}, full.provides = {{"api", 1, 2, -4}};
    full.conflicts = {{"old", 0, kV10, 0}}, full.imagePart = std::string(16u << 20, 'i');
    std::vector<pkgwriter::Part> parts = pkgwriter::buildBundleHeaderParts(full);
    parts.push_back({kPartHeader, pkgwriter::buildHeaderPayload("m0", 0, 2)});
    parts.push_back({kPartHeader, pkgwriter::buildHeaderPayload("m1", kV10, 2)});
    parts.push_back({kPartHeader, std::string(10, 'm')});  // no record: it names nothing
    parts.push_back({kPartHeader, pkgwriter::buildHeaderPayload("late", kV10, 3)});
    auto scan = [] {
        const uint64_t before = bytesRead();
        EXPECT_EQ(loadedText(),
                  "m0 0/2 in other:0:0 bundle uninstall arch=i386\n"
                  "m1 16803328/2 in bund:100820480:100820480 disabled arch=i386\n"
                  "bund 100820480/1 deps base:16803328:0 provides api:1:2:-4 conflicts "
                  "old:0:16803328 bundle disabled user enable flags=16 note=the note aux=aux "
                  "arch=i386\n"
                  "ext 16803328/77 disabled user arch=i386\n"
                  "meta 16777216/5 /flash/m\n");
        EXPECT_LT(bytesRead() - before, 100000u) << "a 16 MiB image part is not read";
    };
    inRoot({{kDir + "bund/image", pkgwriter::writePartsFile(parts)},
            {kDir + "bund/version", "1 1\n"},  // stale beside an image
            {kDir + "bund/disabled", "user\n"},
            {"/ram/pdb/bund/schedule", "enable\n"},
            {kDir + "m0/bundle", "other\n"},
            {kDir + "m1/disabled", "auto\n"},
            {"/rw/pckg/.images/ext", pkgwriter::writePackage(recipe("ext", kV10))},
            {kDir + "ext/disabled", "user\n"},
            {"/rw/pckg/.images/orphan", pkgwriter::writePackage(recipe("orphan", kV10))},
            {kDir + ".hidden/image", pkgwriter::writePackage(recipe("hidden", kV10))},
            {kDir + "meta/version", "16777216 5\n"},
            {kDir + "meta/files", "flash/m\n"}},
           scan);
    inRoot({{kDir + "garbage/image", "not a package"}, {kDir + "garbage/version", "3 4"}},
           [] { EXPECT_EQ(loadedText(), "garbage 3/4 bundle\n"); });
}

}  // namespace
