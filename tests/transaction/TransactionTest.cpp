// The file-system transaction: commit, manifest, space check, staging rules,
// placement and record of temporary files, spinner.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "support/Sandbox.h"
#include "transaction/Manifest.h"
#include "transaction/TempFiles.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kHuge = uint64_t(1) << 44;

// What body writes to descriptor 2 (works after chroot: nothing is opened).
std::string stderrOf(const std::function<void()>& body) {
    int capture = memfd_create("stderr", 0), saved = dup(2);
    dup2(capture, 2);
    body();
    dup2(saved, 2);
    std::string text(static_cast<size_t>(lseek(capture, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(capture, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    close(capture);
    close(saved);
    return text;
}

// In a child: a fresh root with /ram on the disk, tmpfs mounts in it (path,
// bytes) in a private mount namespace, and chroot into it.
int runWithMounts(const std::vector<std::pair<std::string, uint64_t>>& mounts,
                  const std::function<void()>& body) {
    TempDir root;
    testsupport::makeDirs(root / "ram");
    return testsupport::runInChild([&] {
        std::string why;
        bool ready = testsupport::enterPrivateMountNamespace(&why);
        for (const auto& [path, size] : mounts)
            ready = ready && testsupport::mountTmpfs(root.path() + path, size, &why);
        ASSERT_TRUE(ready && chroot(root.path().c_str()) == 0 && chdir("/") == 0) << why;
        body();
    });
}

#define SKIP_WITHOUT_TMPFS() \
    std::string why;         \
    if (!testsupport::tmpfsMountsAvailable(&why)) GTEST_SKIP() << why

// Each entry below root as "path mode", links with their text; sorted.
std::string shape(const std::string& root) {
    std::istringstream in(testsupport::treeListing(root));
    std::string text;
    for (std::string path, mode, rest; in >> path >> mode && std::getline(in, rest);)
        text +=
            path + " " + mode.substr(mode.size() - 4) + (rest.find(" ->") == 0 ? rest : "") + "\n";
    return text;
}

TEST(Commit, RemovalsAndLinksFirstThenMovesEachPassInPathOrder) {
    TempDir root;
    auto body = [] {
        umask(022);
        for (const char* file :
             {"/z", "/src", "/d/x", "/gone/plain", "/pkg/old", "/new", "/mixed/a", "/mixed/.hidden",
              "/mixed/sub/inner", "/file", "/dir/keep"})
            writeFile(file, file, 0640);
        FsTransaction t;
        t.move("/z", "/a");  // z is removed in the first pass
        t.remove("/z");
        t.move("/src", "/d/x");  // d/x takes src, then d/y takes d/x
        t.move("/d/x", "/d/y");
        t.remove("/gone");  // before the link that makes it again
        t.link("text", "/gone/link");
        t.remove("/pkg");  // before the move into it, whose parents are made
        t.move("/new", "/pkg/var/new");
        t.remove("/mixed");        // hidden files and subdirectories keep it
        t.link("/file", "/file");  // replaces the file, but not a directory
        t.link("/dir", "/dir");
        umask(0);
        EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(t.commit(nullptr)); }),
                  "symlink: File exists\nrename: No such file or directory\n");
        EXPECT_EQ(t.entries.size(), 11u) << "the entries stay";
        EXPECT_EQ(readFile("/d/y"), "/src");
        EXPECT_EQ(shape("/"),
                  "/d 0755\n/d/y 0640\n/dir 0755\n/dir/keep 0640\n/file 0777 -> /file\n/gone 0777\n"
                  "/gone/link 0777 -> text\n/mixed 0755\n/mixed/.hidden 0640\n/mixed/sub 0755\n"
                  "/mixed/sub/inner 0640\n/pkg 0777\n/pkg/var 0777\n"
                  "/pkg/var/new 0640\n");
    };
    EXPECT_EQ(testsupport::runChrooted(root.path(), body), 0);
}

// A run killed after any number of a commit's steps leaves the manifest, whose
// commit repeated reaches the same tree: a move whose source is gone and whose
// target exists counts as done.
TEST(Commit, RepeatedFromTheManifestAfterAnInterruption) {
    TempDir root;
    writeFile(root / "MANIFEST",
              "M /flash/var/pdb/pkg/files /ram/tmpA\nU /flash/old/lib.so\nU /flash/olddir\n"
              "L /flash/bin/tool ../lib/tool.v2\nM /flash/lib/new.so /ram/tmpB\nU /flash/gone\n"
              "M /flash/bootimage /flash/var/pdb/pkg/image\nL /flash/lib/tool.v2 new.so\n");
    auto build = [] {
        testsupport::removeTree("/flash");
        for (const char* file :
             {"/ram/tmpA", "/ram/tmpB", "/flash/var/pdb/pkg/files", "/flash/var/pdb/pkg/image",
              "/flash/old/lib.so", "/flash/olddir/a"})
            writeFile(file, file, 0751);
        testsupport::makeDirs("/flash/bin");
        symlink("../lib/tool.v1", "/flash/bin/tool");
    };
    auto body = [&] {
        build();
        FsTransaction full;
        ASSERT_TRUE(readManifest(full, "/MANIFEST"));
        EXPECT_TRUE(full.commit(nullptr));
        const std::string expected = testsupport::treeListing("/");
        std::vector<std::pair<std::string, FsEntry>> order;  // the commit's steps
        for (bool firstPass : {true, false})
            for (const auto& [path, entry] : full.entries)
                if ((entry.kind == FsEntryKind::Remove || entry.kind == FsEntryKind::Link) ==
                    firstPass)
                    order.emplace_back(path, entry);
        for (size_t done = 0; done <= order.size(); ++done) {
            build();
            FsTransaction partial, rerun;
            for (size_t i = 0; i < done; ++i)
                partial.stage(order[i].first, order[i].second.kind, order[i].second.source);
            partial.commit(nullptr);
            ASSERT_TRUE(readManifest(rerun, "/MANIFEST"));
            EXPECT_TRUE(rerun.commit(nullptr)) << "interrupted after " << done;
            EXPECT_EQ(testsupport::treeListing("/"), expected) << "interrupted after " << done;
        }
        FsTransaction lost;
        lost.move("/ram/nothing", "/flash/nowhere");
        EXPECT_FALSE(lost.commit(nullptr)) << "neither source nor target: a failure";
    };
    EXPECT_EQ(testsupport::runChrooted(root.path(), [&] { stderrOf(body); }), 0);
}

// The copy is made beside the target and renamed over it only when whole.
TEST(CrossDevice, MoveIsACopyKeepingModeAndSourceThatFailsWithoutHarm) {
    SKIP_WITHOUT_TMPFS();
    auto body = [] {
        std::string content(100000, '\0');  // no two chunks alike
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + i / 7);
        writeFile("/a/src", content, 04751);
        writeFile("/b/sub/dst", "previous");
        writeFile("/small/old", "old", 0644);
        FsTransaction t;
        t.move("/a/src", "/b/sub/dst");
        EXPECT_EQ(stderrOf([&] { EXPECT_TRUE(t.commit(nullptr)); }), "");
        EXPECT_EQ(readFile("/b/sub/dst") + readFile("/a/src"), content + content);
        t.move("/a/src", "/small/old");
        EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(t.commit(nullptr)); }),
                  "copy: No space left on device\n");
        EXPECT_EQ(readFile("/small/old"), "old");
        TempRegistry unrecorded;  // and no directory or FIFO is copied
        EXPECT_FALSE(copyFile("/a", "/b/dir", nullptr, unrecorded) || mkfifo("/a/fifo", 0600) ||
                     copyFile("/a/fifo", "/b/fifo", nullptr, unrecorded));
        EXPECT_EQ(shape("/b") + shape("/small"), "/sub 0755\n/sub/dst 4751\n/old 0644\n");
    };
    EXPECT_EQ(runWithMounts({{"/a", 1 << 20}, {"/b", 1 << 20}, {"/small", 2 * kPage}}, body), 0);
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int64_t freeBlocksNow(const char* path) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 ? static_cast<int64_t>(fs.f_bfree) : -1;
}

// Entries in the manifest's text form.
void stage(FsTransaction& t, const std::string& lines) {
    writeFile("/ram/staged", lines);
    ASSERT_TRUE(readManifest(t, "/ram/staged"));
}

// A commit needs more than 16 blocks free on /flash and on /flash/boot at its
// every moment: removals free blocks first, moves take their sources' blocks
// and free those of the files they replace, after the copy across file systems.
TEST(SpaceCheck, DebitsAndCreditsPerEntry) {
    SKIP_WITHOUT_TMPFS();
    struct Case {
        const char* what;
        const char* entries;
        int64_t flash, boot, lowestFlash;
        bool passes;
    };
    // 20 blocks free on /flash, 17 on /flash/boot, once the files below are written.
    const Case cases[] = {
        {"new file onto flash", "M /flash/n /ram/new", -4, 0, -4, false},
        {"copy over a file, freed after", "M /flash/old /ram/two", -1, 0, -2, true},
        {"rename over a file", "M /flash/b /flash/a", 0, 0, 0, true},
        {"rename to a new name", "M /flash/d /flash/c", -6, 0, -6, false},
        {"/flash/boot counts in both", "U /flash/boot/kernel", 3, 3, 3, true},
        {"copy over the kernel", "M /flash/boot/kernel /ram/new", -1, -1, -4, false},
        {"the boot file system alone", "M /flash/boot/n /ram/two", -2, -2, -2, false},
        {"removals come first", "M /flash/0 /ram/new\nU /flash/a", 1, 0, 1, true},
        {"links, other paths, missing files",
         "L /flash/link /flash/a\nU /ram/two\nU /flash/gone\nM /flash/e /ram/gone", 0, 0, 0, true},
    };
    auto body = [&] {
        const std::pair<const char*, int> kBlocks[] = {
            {"/ram/new", 4}, {"/ram/two", 2}, {"/flash/old", 1},        {"/flash/a", 5},
            {"/flash/b", 7}, {"/flash/c", 6}, {"/flash/boot/kernel", 3}};
        for (const auto& [path, blocks] : kBlocks)
            writeFile(path, std::string(blocks * kPage - 1, 'x'));
        const int64_t flash = freeBlocksNow("/flash"), boot = freeBlocksNow("/flash/boot");
        ASSERT_EQ(flash * 100 + boot, 2017);
        for (const Case& c : cases) {
            FsTransaction t;
            stage(t, c.entries);
            FsUsage onFlash = usageAfter(t, "/flash");
            EXPECT_EQ(onFlash.freeBlocks - flash, c.flash) << c.what;
            EXPECT_EQ(onFlash.lowestFreeBlocks - flash, c.lowestFlash) << c.what;
            EXPECT_EQ(usageAfter(t, "/flash/boot").freeBlocks - boot, c.boot) << c.what;
            EXPECT_EQ(checkSpace(t), c.passes) << c.what;
            // The same files as written by this run for paths that were free,
            // their sizes reported by the writer instead of asked of the file
            // system: the same answer.
            FsTransaction written;
            stage(written, c.entries);
            for (auto& [target, entry] : written.entries) {
                struct stat source, old;
                if (entry.kind != FsEntryKind::Move || stat(entry.source.c_str(), &source) != 0 ||
                    lstat(target.c_str(), &old) == 0)
                    continue;
                entry.kind = FsEntryKind::NewFile;
                entry.newFileSize = source.st_size;
            }
            FsUsage reported = usageAfter(written, "/flash");
            EXPECT_EQ(reported.freeBlocks, onFlash.freeBlocks) << c.what;
            EXPECT_EQ(reported.lowestFreeBlocks, onFlash.lowestFreeBlocks) << c.what;
        }
    };
    EXPECT_EQ(runWithMounts({{"/flash", 39 * kPage}, {"/flash/boot", 20 * kPage}}, body), 0);
    // A missing mount path has one-byte blocks, none free: only removals below it count.
    auto bootMissing = [] {
        writeFile("/flash/bootx/seventeen", std::string(17, 's'));
        writeFile("/flash/bootx/sixteen", std::string(16, 's'));
        FsTransaction none, sixteen, seventeen;
        stage(sixteen, "U /flash/bootx/sixteen");
        stage(seventeen, "U /flash/bootx/seventeen");
        EXPECT_FALSE(checkSpace(none) || checkSpace(sixteen));
        EXPECT_TRUE(checkSpace(seventeen) && checkSpace(none, MissingMount::Passes));
    };
    EXPECT_EQ(runWithMounts({{"/flash", 64 * kPage}}, bootMissing), 0);
}

// A staged file is made on the file system of the target's nearest existing
// ancestor, asked afresh each time, when it has strictly more room than the size
// hint and a tenth; else in /ram. 2^44 free bytes in 2^32 blocks are no zero.
TEST(SpaceCheck, WhereStagedFilesAreMade) {
    SKIP_WITHOUT_TMPFS();
    auto placed = [](FsTransaction& t, const std::string& target, uint32_t hint) {
        EXPECT_TRUE(writeStagedFile(t, target, hint, 0, ""));
        return t.entries.at(target).source.substr(0, t.entries.at(target).source.size() - 6);
    };
    auto small = [&] {
        umask(077);
        FsTransaction t;
        EXPECT_EQ(placed(t, "/flash/missing/parents/big", 7448), "/ram/tmp") << "7448 + 744 = 8192";
        EXPECT_EQ(placed(t, "/flash/missing/parents/fits", 7447), "/flash/tmp");
        EXPECT_EQ(placed(t, "/flash/zero", 0), "/ram/tmp") << "no hint";
        writeFile("/flash/fill", std::string(2 * kPage, 'x'));
        EXPECT_EQ(placed(t, "/flash/missing/parents/late", 1), "/ram/tmp");
        // The mode given, or 0600, whatever the umask.
        EXPECT_EQ(t.createdMode(0104755), 04700u) << "permission bits less the umask";
        ASSERT_TRUE(writeStagedFile(t, "/flash/given", 8, 0640, std::string("1.2\0x\n", 6)));
        EXPECT_EQ(modeOf(t.entries.at("/flash/given").source), 0640u);
        EXPECT_EQ(modeOf(t.entries.at("/flash/zero").source), 0600u);
        EXPECT_EQ(readFile(t.entries.at("/flash/given").source), std::string("1.2\0x\n", 6));
    };
    EXPECT_EQ(runWithMounts({{"/flash", 2 * kPage}}, small), 0);
    auto huge = [&] {
        FsTransaction t;
        EXPECT_TRUE(checkSpace(t));
        EXPECT_EQ(usageAfter(t, "/flash/boot").freeBlocks, int64_t(1) << 32);
        EXPECT_EQ(placed(t, "/flash/file", 1000), "/flash/tmp");
    };
    EXPECT_EQ(runWithMounts({{"/flash", kHuge}, {"/flash/boot", kHuge}}, huge), 0);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ManifestReading, GoodAndBadManifests) {
    static const char kGarbage[] = "\xff\x01 \0\0 junk\nZ\r \r\nU /ok\r\n";
    struct Case {
        const char* what;
        std::string text;
        bool complete;
        const char* entries;
    };
    const Case cases[] = {
        {"empty", "", true, ""},
        {"last line without newline", "U /a\nL /b text", true, "U /a\nL /b text\n"},
        {"removal staged unseen", "U /not/there\n", true, "U /not/there\n"},
        {"unknown kind, extra fields, later line wins", "X y\nM /t /s extra\nM /u /v\nU /u\n", true,
         "M /t /s\nU /u\n"},
        {"empty line ends it", "U /a\n\nU /b\n", true, "U /a\n"},
        {"short M line", "U /a\nM /b\nU /c\n", false, "U /a\n"},
        {"short L line", "L /x\n", false, ""},
        {"cut inside its last path", "U /a\nM /b /ram/tm", true, "U /a\nM /b /ram/tm\n"},
        {"a space splits a path", "M /my file /src\n", true, "M /my file\n"},
        {"garbage", std::string(kGarbage, sizeof kGarbage - 1), true, "U /ok\r\n"},
        {"one endless line", std::string(100000, 'x') + "\n", false, ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        writeFile(dir / "MANIFEST", c.text);
        FsTransaction t;
        EXPECT_EQ(readManifest(t, dir / "MANIFEST"), c.complete) << c.what;
        std::ostringstream entries;  // as the writer puts them, in path order
        writeManifest(t, entries);
        EXPECT_EQ(entries.str(), c.entries) << c.what;
    }
    // Anything but a regular file is no manifest, and no read fault either.
    FsTransaction t;
    bool dirError = true, fifoError = true;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(readManifest(t, dir.path(), &dirError) ||
                 readManifest(t, dir / "fifo", &fifoError));
    EXPECT_FALSE(dirError || fifoError || readManifest(t, dir / "no"));
}

TEST(Staging, LaterStagingWinsAndOwnedTemporaryFilesGoWithTheirEntries) {
    TempDir dir;
    for (const char* name : {"existing", "src", "tmp1", "tmp2"}) writeFile(dir / name, name);
    FsTransaction t;
    t.move(dir / "src", dir / "existing");
    t.link("text", dir / "existing");
    t.remove(dir / "existing");
    // A replaced new file loses its temporary file, a replaced move keeps its source.
    t.stage(dir / "target", FsEntryKind::NewFile, dir / "tmp1");
    t.move(dir / "src", dir / "target");
    t.link("elsewhere", dir / "target");
    // Removing what is not there withdraws the entry, and a new file's temporary file.
    t.stage(dir / "missing", FsEntryKind::NewFile, dir / "tmp2");
    t.move(dir / "src", dir / "missing2");
    for (const char* name : {"missing", "missing2", "never"}) t.remove(dir / name);
    std::ostringstream entries;
    writeManifest(t, entries);
    EXPECT_EQ(entries.str(), "U " + dir / "existing\nL " + dir / "target elsewhere\n");
    EXPECT_FALSE(exists(dir / "tmp1") || exists(dir / "tmp2"));
    EXPECT_TRUE(exists(dir / "src") && exists(dir / "existing"));
}

// A run records each temporary file's name before making it, a batch at a
// time; a name that turns out to be someone else's file is marked as not
// ours. The next run, after this one died, deletes what is left of its files
// but those its saved manifest moves into place (a new file is saved as a move).
TEST(TempRegistry, RecordsNamesFirstAndReclaimsOnlyItsOwnFiles) {
    TempDir dir;
    const std::string record = dir / "record";
    auto body = [&] {
        TempRegistry run(record);
        std::string ours, kept, refused;
        close(run.createUnique(dir / "tmp", 0600, ours));
        std::vector<std::string> batch = linesOf(readFile(record));
        ASSERT_EQ(batch.size(), 16u);
        ASSERT_EQ(std::count(batch.begin(), batch.end(), ours), 1);
        for (const std::string& name : batch) writeFile(name, name == ours ? "ours" : "theirs");
        close(run.createUnique(dir / "tmp", 0600, kept));
        std::vector<std::string> lines = linesOf(readFile(record));
        ASSERT_EQ(lines.size(), 16u + 15u + 16u);
        for (size_t i = 16; i < 31; ++i) EXPECT_EQ(lines[i][0], '!') << lines[i];
        // A name taken while the record cannot grow: the file is not made.
        for (size_t i = 31; i < lines.size(); ++i) writeFile(lines[i], "theirs");
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {static_cast<rlim_t>(readFile(record).size()), RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        EXPECT_EQ(run.createUnique(dir / "tmp", 0600, refused), -1);
        EXPECT_EQ(errno, EFBIG);
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        writeFile(record, dir / "left.AbC123\n" + readFile(record) + dir / "precious\n");
        writeFile(dir / "left.AbC123", "ours, from a run before");
        writeFile(dir / "precious", "recorded, but no name of ours");
        FsTransaction saved;  // the run's manifest, still to move kept into place
        saved.stage(dir / "target", FsEntryKind::NewFile, kept);
        TempRegistry unrecorded;
        std::set<std::string> keep;
        ASSERT_TRUE(writeManifest(saved, dir / "MANIFEST", unrecorded));
        ASSERT_TRUE(manifestMoveSources(dir / "MANIFEST", keep));
        TempRegistry next(record);
        next.reclaim(keep);
        for (const std::string& name : batch) EXPECT_EQ(exists(name), name != ours) << name;
        EXPECT_TRUE(exists(kept) && exists(dir / "precious") && !exists(dir / "left.AbC123"));
        EXPECT_EQ(readFile(record), kept + "\n");
        std::string one, two;  // the next run ends saving a manifest that needs its files
        for (std::string* name : {&one, &two}) close(next.createUnique(dir / "new.", 0600, *name));
        next.finish(true);
        EXPECT_EQ(readFile(record),
                  kept + "\n" + std::min(one, two) + "\n" + std::max(one, two) + "\n");
    };
    EXPECT_EQ(testsupport::runInChild(body), 0);
}

TEST(TempRegistry, OnlyNamesOfItsOwnMakingLookTemporary) {
    for (const char* path : {"/p/tmpA0C123", "/flash/bin/tool.Zz9Zz9", "/flash/var/pdb/image"})
        EXPECT_TRUE(looksTemporary(path)) << path;
    for (const char* path : {"/p/.AbC123", "/p/AbC123", "/p/bC123", "/p/tmpAbC12", "/p/tmpAbC12!"})
        EXPECT_FALSE(looksTemporary(path)) << path;
}

// Steps advance the clock by 20 ticks, not to the present: calls after a pause catch up.
TEST(Spinner, OneStepPerMoreThanTwentyTicksAtAFixedPace) {
    const uint32_t kTicks[] = {1000, 1000 + kSpinnerTicks, 1021, 1121, 1121, 1121, 1121, 1121,
                               1121};
    std::ostringstream console;
    Spinner spinner(console, [&, call = 0]() mutable { return kTicks[call++]; });
    for (size_t i = 0; i < 9; ++i) spinner.step();
    EXPECT_EQ(console.str(), "|\b/\b-\b\\\b|\b/\b-");
}

}  // namespace
