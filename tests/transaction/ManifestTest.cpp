#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "TransactionTestSupport.h"
#include "transaction/Manifest.h"

using testsupport::exists;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Every entry as "kind target <- source", in map order.
std::string describe(const FsTransaction& t) {
    static const char* const names[] = {"Move", "NewFile", "Link", "Remove"};
    std::string s;
    for (const auto& [target, entry] : t.entries)
        s += std::string(names[static_cast<int>(entry.kind)]) + " " + target + " <- " +
             entry.source + "\n";
    return s;
}

struct ReadResult {
    bool answer;
    std::string entries;
};

ReadResult readText(const std::string& text) {
    TempDir dir;
    writeFile(dir / "MANIFEST", text);
    FsTransaction t;
    bool answer = readManifest(t, dir / "MANIFEST");
    return {answer, describe(t)};
}

TEST(Manifest, WritesOneLinePerEntryInPathOrder) {
    FsTransaction t;
    t.stage("/flash/z", FsEntryKind::Remove, "");
    t.link("../lib/tool", "/flash/bin/tool");
    t.move("/flash/var/pdb/pkg/image", "/flash/bootimage");
    t.stage("/flash/var/pdb/pkg/files", FsEntryKind::NewFile, "/ram/tmpAbC123");
    std::ostringstream out;
    writeManifest(t, out);
    EXPECT_EQ(out.str(),
              "L /flash/bin/tool ../lib/tool\n"
              "M /flash/bootimage /flash/var/pdb/pkg/image\n"
              "M /flash/var/pdb/pkg/files /ram/tmpAbC123\n"
              "U /flash/z\n");
}

TEST(Manifest, RoundTripTurnsNewFilesIntoMovesSoCancelDeletesNothing) {
    TempDir dir;
    writeFile(dir / "tmpfile", "new contents");
    writeFile(dir / "victim", "v");
    FsTransaction t;
    t.stage(dir / "target", FsEntryKind::NewFile, dir / "tmpfile");
    t.remove(dir / "victim");
    t.link("somewhere/else", dir / "link");
    t.move(dir / "a", dir / "b");
    TempRegistry unrecorded;
    ASSERT_TRUE(writeManifest(t, dir / "MANIFEST", unrecorded));

    FsTransaction back;
    EXPECT_TRUE(readManifest(back, dir / "MANIFEST"));
    EXPECT_EQ(describe(back), "Move " + (dir / "b") + " <- " + (dir / "a") + "\n" + "Link " +
                                  (dir / "link") + " <- somewhere/else\n" + "Move " +
                                  (dir / "target") + " <- " + (dir / "tmpfile") + "\n" + "Remove " +
                                  (dir / "victim") + " <- \n");
    back.cancel();
    EXPECT_TRUE(exists(dir / "tmpfile"));
    EXPECT_TRUE(exists(dir / "victim"));

    // Writing a file again replaces the old manifest.
    ASSERT_TRUE(writeManifest(FsTransaction(), dir / "MANIFEST", unrecorded));
    EXPECT_EQ(testsupport::readFile(dir / "MANIFEST"), "");
}

TEST(Manifest, ReadingRules) {
    // Empty file: complete, nothing in it.
    EXPECT_EQ(readText("").answer, true);
    EXPECT_EQ(readText("").entries, "");
    // Last line without its newline still counts.
    ReadResult r = readText("U /a\nL /b text");
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.entries, "Remove /a <- \nLink /b <- text\n");
    // Removals are staged without looking at the file system.
    EXPECT_EQ(readText("U /surely/not/there\n").entries, "Remove /surely/not/there <- \n");
    // Unknown kinds are skipped, extra fields ignored, later lines win.
    r = readText("X whatever\nM /t /s extra fields\nM /u /v\nU /u\n");
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.entries, "Move /t <- /s\nRemove /u <- \n");
    // An empty line ends the manifest.
    r = readText("U /a\n\nU /b\n");
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.entries, "Remove /a <- \n");
    // A short M or L line stops the reading, keeping what came before.
    r = readText("U /a\nM /b\nU /c\n");
    EXPECT_FALSE(r.answer);
    EXPECT_EQ(r.entries, "Remove /a <- \n");
    r = readText("L /x\n");
    EXPECT_FALSE(r.answer);
    EXPECT_EQ(r.entries, "");
    EXPECT_FALSE(readText("U\n").answer);
    // A manifest that cannot be opened.
    FsTransaction t;
    EXPECT_FALSE(readManifest(t, "/nonexistent/dir/MANIFEST"));
    EXPECT_TRUE(t.empty());
}

TEST(Manifest, BadInputIsReadWithoutHarm) {
    // Truncated in the middle of its last line.
    ReadResult r = readText("U /a\nM /flash/b /ram/tm");
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.entries, "Remove /a <- \nMove /flash/b <- /ram/tm\n");
    r = readText("U /a\nM /flash/b");
    EXPECT_FALSE(r.answer);
    EXPECT_EQ(r.entries, "Remove /a <- \n");
    // A path with a space splits into more fields.
    EXPECT_EQ(readText("M /my file /src\n").entries, "Move /my <- file\n");
    // Two spaces give an empty field.
    EXPECT_EQ(readText("M  /x /y\n").entries, "Move  <- /x\n");
    EXPECT_EQ(readText("U  /x\n").entries, "Remove  <- \n");
    // Binary garbage, NUL bytes and carriage returns.
    static const char garbage[] = "\xff\xfe\x01 \0\0 junk\nZ\r \r\nU /ok\r\n";
    r = readText(std::string(garbage, sizeof garbage - 1));
    EXPECT_TRUE(r.answer);
    EXPECT_EQ(r.entries, "Remove /ok\r <- \n");
    r = readText(std::string(100000, 'x') + "\n");
    EXPECT_FALSE(r.answer);
    EXPECT_EQ(r.entries, "");
}

}  // namespace
