// Single packages installed from standard input with "-": what lands on flash,
// what the database records, and what the console and post-log show.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e/RouterRoot.h"

namespace {

using e2e::RouterRoot;
using pkgwriter::PackageRecipe;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

std::string decimal(uint32_t v) {
    return std::to_string(v);
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

unsigned permissions(const RouterRoot& root, const std::string& inside) {
    struct stat st;
    if (stat(root.at(inside).c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

std::string linkText(const RouterRoot& root, const std::string& inside) {
    char buffer[256];
    ssize_t n = readlink(root.at(inside).c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

// Installs recipe and insists that it worked, for the setup of a test.
void installOk(const RouterRoot& root, const PackageRecipe& recipe,
               const std::vector<std::string>& args = {}) {
    auto result = root.install(e2e::signedPackage(recipe), args);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
}

TEST(StreamInstall, NewPackageIsInstalledAndRecorded) {
    RouterRoot root;
    auto recipe = e2e::simplePackage("hello", kV1);
    recipe.files.push_back(e2e::file("bin/hello", "#!/bin/sh\necho hi\n", 0755));
    recipe.files.push_back(e2e::file("/etc/hello.conf", "greeting=hi\n", 0600));
    pkgwriter::ContainerFile directory = e2e::file("var/empty", "");
    directory.type = pkgwriter::EntryType::Directory;
    recipe.files.push_back(directory);
    auto result = root.install(e2e::signedPackage(recipe));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(root.read("/flash/bin/hello"), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(permissions(root, "/flash/bin/hello"), 0755u);
    EXPECT_EQ(root.read("/flash/etc/hello.conf"), "greeting=hi\n");
    EXPECT_EQ(permissions(root, "/flash/etc/hello.conf"), 0600u);
    // Directory entries create nothing of their own.
    EXPECT_FALSE(root.exists("/flash/var/empty"));
    EXPECT_EQ(root.read("/flash/var/pdb/hello/version"), "16803328 1000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/hello/deps"), "");
    EXPECT_EQ(root.read("/flash/var/pdb/hello/files"),
              "flash/bin/hello\nflash/etc/hello.conf\nflash/opt/hello/README\n");
    for (const char* absent : {"provides", "conflicts", "bundle", "disabled", "enabled", "image"})
        EXPECT_FALSE(root.exists(std::string("/flash/var/pdb/hello/") + absent)) << absent;
    // The copy of the stream has no use for a package without an image part.
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_FALSE(root.exists("/flash/UPGRADED"));
    EXPECT_TRUE(root.temporaryFiles().empty());
    EXPECT_TRUE(contains(result.out, "installed hello-1.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/postlog"), "installed hello-1.0\n");

    // Lists are written in their files' formats.
    auto withLists = e2e::simplePackage("lists", kV1);
    withLists.dependencies = {{"hello", kV1, 0, 0}};
    withLists.provides = {{"greeter", kV1, kV2, -3}};
    withLists.conflicts = {{"rival", 0, kV2, 0}};
    installOk(root, withLists);
    EXPECT_EQ(root.read("/flash/var/pdb/lists/deps"), "hello " + decimal(kV1) + " 0\n");
    EXPECT_EQ(root.read("/flash/var/pdb/lists/provides"),
              "greeter " + decimal(kV1) + " " + decimal(kV2) + " -3\n");
    EXPECT_EQ(root.read("/flash/var/pdb/lists/conflicts"), "rival 0 " + decimal(kV2) + "\n");
    EXPECT_EQ(root.read("/flash/postlog"), "installed hello-1.0\ninstalled lists-1.0\n");
}

TEST(StreamInstall, UpgradeReplacesFilesAndRewritesTheEntry) {
    RouterRoot root;
    auto old = e2e::simplePackage("tool", kV1);
    old.files.push_back(e2e::file("bin/tool", "old tool\n", 0755));
    old.files.push_back(e2e::file("lib/libold.so", "old library\n"));
    installOk(root, old);
    ASSERT_TRUE(root.exists("/flash/lib/libold.so"));

    auto next = e2e::simplePackage("tool", kV2, 2000);
    next.files = {e2e::file("bin/tool", "new tool\n", 0755), e2e::file("lib/libnew.so", "new\n")};
    auto result = root.install(e2e::signedPackage(next));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(root.read("/flash/bin/tool"), "new tool\n");
    EXPECT_EQ(root.read("/flash/lib/libnew.so"), "new\n");
    EXPECT_FALSE(root.exists("/flash/lib/libold.so"));
    EXPECT_FALSE(root.exists("/flash/opt/tool/README"));
    EXPECT_EQ(root.read("/flash/var/pdb/tool/version"), decimal(kV2) + " 2000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/tool/files"), "flash/bin/tool\nflash/lib/libnew.so\n");
    EXPECT_TRUE(contains(result.out, "installed tool-2.0\n")) << result.out;
    EXPECT_TRUE(root.temporaryFiles().empty());
    EXPECT_EQ(root.read("/flash/postlog"), "installed tool-1.0\ninstalled tool-2.0\n");
}

// An entry written by an earlier version names what that version had: lists
// the new version lacks go, and recorded paths that are directories (an entry
// that named a directory, a damaged list) are never emptied.
TEST(StreamInstall, ReplacedEntryDescribesTheNewVersionAlone) {
    RouterRoot root;
    e2e::addInstalledEntry(root, "tool", kV1);
    e2e::addInstalledEntry(root, "other", kV1);
    root.write("/flash/var/pdb/tool/provides", "helper 0 0 0\n");
    root.write("/flash/var/pdb/tool/conflicts", "rival 0 0\n");
    root.write("/flash/var/pdb/tool/files",
               "flash/opt/tool/README\nflash/opt\nflash/opt/\nflash/.\nflash/var/pdb/other\n");
    auto next = e2e::simplePackage("tool", kV2, 2000);
    next.files = {e2e::file("bin/tool", "new tool\n", 0755)};
    auto result = root.install(e2e::signedPackage(next));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_FALSE(root.exists("/flash/opt/tool/README"));
    EXPECT_EQ(root.read("/flash/opt/other/README"), "package other\n");
    EXPECT_TRUE(root.exists("/flash/var/pdb/other/version"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/tool/provides"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/tool/conflicts"));
    EXPECT_EQ(root.read("/flash/var/pdb/tool/files"), "flash/bin/tool\n");
}

TEST(StreamInstall, DowngradeNeedsTheDownOption) {
    RouterRoot root;
    auto newer = e2e::simplePackage("x", kV2);
    newer.files.push_back(e2e::file("bin/x", "x two\n"));
    installOk(root, newer);
    auto older = e2e::simplePackage("x", kV1);
    older.files.push_back(e2e::file("bin/x", "x one\n"));
    std::string olderBytes = e2e::signedPackage(older);

    std::string before = root.listingWithoutPostLog();
    auto refused = root.install(olderBytes);
    EXPECT_EQ(refused.status, 1);
    const std::string warning =
        "WARNING: omitting package x-1.0: newer package x-2.0 is already installed";
    EXPECT_TRUE(contains(refused.out, warning + "\n")) << refused.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);
    EXPECT_EQ(root.read("/flash/postlog"), "installed x-2.0\n" + warning + "\n");

    auto accepted = root.install(olderBytes, {"-down"});
    EXPECT_EQ(accepted.status, 0) << accepted.out;
    EXPECT_EQ(root.read("/flash/bin/x"), "x one\n");
    EXPECT_EQ(root.read("/flash/var/pdb/x/version"), decimal(kV1) + " 1000\n");
    EXPECT_TRUE(contains(accepted.out, "installed x-1.0\n")) << accepted.out;
}

TEST(StreamInstall, ArchitectureMustMatchTheSystem) {
    RouterRoot root;
    auto recipe = e2e::simplePackage("mipstool", kV1);
    recipe.architecture = "mipsbe";
    std::string bytes = e2e::signedPackage(recipe);

    std::string before = root.listingWithoutPostLog();
    auto refused = root.install(bytes);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.out,
                         "ERROR: can not install mipstool-1.0: it is not made for i386, but for "
                         "mipsbe\n"))
        << refused.out;
    // An empty "arch" is an empty architecture name, not the default.
    auto emptyArch = root.install(bytes, {}, {{"arch", ""}});
    EXPECT_EQ(emptyArch.status, 1);
    EXPECT_TRUE(contains(emptyArch.out,
                         "ERROR: can not install mipstool-1.0: it is not made for , but for "
                         "mipsbe\n"))
        << emptyArch.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);

    auto accepted = root.install(bytes, {}, {{"arch", "mipsbe"}});
    EXPECT_EQ(accepted.status, 0) << accepted.out;
    EXPECT_TRUE(root.exists("/flash/opt/mipstool/README"));

    // An empty architecture part fits every system; no part at all means i386.
    auto portable = e2e::simplePackage("portable", kV1);
    portable.architecture = "";
    auto anyArch = root.install(e2e::signedPackage(portable), {}, {{"arch", "powerpc"}});
    EXPECT_EQ(anyArch.status, 0) << anyArch.out;
    auto implicit = root.install(e2e::signedPackage(e2e::simplePackage("implicit", kV1)), {},
                                 {{"arch", "powerpc"}});
    EXPECT_EQ(implicit.status, 1);
    EXPECT_TRUE(contains(implicit.out,
                         "ERROR: can not install implicit-1.0: it is not made for powerpc, but "
                         "for i386\n"))
        << implicit.out;
}

TEST(StreamInstall, MissingDependencyIsRefused) {
    RouterRoot root;
    auto app = e2e::simplePackage("app", kV1);
    app.dependencies = {{"lib", kV2, 0, 0}, {"other", 0, 0, 0}};
    std::string appBytes = e2e::signedPackage(app);

    std::string before = root.listingWithoutPostLog();
    auto refused = root.install(appBytes);
    EXPECT_EQ(refused.status, 1);
    // Only the first missing dependency is named.
    EXPECT_EQ(root.read("/flash/postlog"),
              "ERROR: can not install app-1.0: lib-2.0 is not installed, but is required\n");
    EXPECT_EQ(root.listingWithoutPostLog(), before);

    installOk(root, e2e::simplePackage("lib", kV2));
    auto provider = e2e::simplePackage("provider", kV1);
    provider.provides = {{"other", 0, 0, 0}};
    installOk(root, provider);
    auto accepted = root.install(appBytes);
    EXPECT_EQ(accepted.status, 0) << accepted.out;
    EXPECT_TRUE(root.exists("/flash/opt/app/README"));
}

TEST(StreamInstall, PackageExcludedByAnEnabledOneIsInstalledDisabled) {
    RouterRoot root;
    auto guard = e2e::simplePackage("guard", kV1);
    guard.conflicts = {{"victim", 0, 0, 0}};
    installOk(root, guard);

    auto victim = e2e::simplePackage("victim", kV1);
    victim.files.push_back(e2e::file("/bin/victim", "v\n", 0755));
    auto result = root.install(e2e::signedPackage(victim));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "installed (disabled) victim-1.0\n")) << result.out;
    EXPECT_FALSE(contains(result.out, "conflicts")) << result.out;
    EXPECT_EQ(root.read("/flash/x/victim/bin/victim"), "v\n");
    EXPECT_EQ(root.read("/flash/x/victim/opt/victim/README"), "package victim\n");
    EXPECT_FALSE(root.exists("/flash/bin/victim"));
    EXPECT_EQ(root.read("/flash/var/pdb/victim/disabled"), "auto\n");
    EXPECT_EQ(root.read("/flash/var/pdb/victim/files"),
              "flash/x/victim/bin/victim\nflash/x/victim/opt/victim/README\n");
    // The progress label of a disabled single package.
    bool labelled = false;
    for (const std::string& text : e2e::statusTexts(result.out))
        labelled |= text.rfind("installing  (disabled) victim-1.0 [", 0) == 0;
    EXPECT_TRUE(labelled) << result.out;
    EXPECT_EQ(root.read("/flash/opt/guard/README"), "package guard\n");
}

PackageRecipe bootPackage(std::optional<std::string> imagePart) {
    auto recipe = e2e::simplePackage("kernel", kV1);
    recipe.flags = 1;
    recipe.imagePart = std::move(imagePart);
    recipe.files.push_back(e2e::file("boot/vmlinux", "kernel bits\n"));
    return recipe;
}

TEST(StreamInstall, BootImagePackageWithoutBootimageVariable) {
    RouterRoot root;
    root.write("/flash/bootimage", "previous boot image");
    std::string bytes = e2e::signedPackage(bootPackage(std::string("IMAGE PART")));
    auto result = root.install(bytes);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(root.read("/flash/boot/vmlinux"), "kernel bits\n");
    EXPECT_TRUE(root.exists("/flash/UPGRADED"));
    EXPECT_EQ(root.read("/flash/UPGRADED"), "");
    EXPECT_EQ(root.read("/flash/var/pdb/kernel/image"), bytes);
    EXPECT_FALSE(root.exists("/flash/bootimage"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    // Described by its image: no metadata files.
    EXPECT_FALSE(root.exists("/flash/var/pdb/kernel/version"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/kernel/files"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(StreamInstall, BootImagePackageWithBootimageVariable) {
    RouterRoot root;
    root.write("/flash/bootimage", "previous boot image");
    std::string bytes = e2e::signedPackage(bootPackage(std::string("IMAGE PART")));
    auto result = root.install(bytes, {}, {{"bootimage", "1"}});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    // The files stay inside the image that the boot loader reads.
    EXPECT_FALSE(root.exists("/flash/boot/vmlinux"));
    EXPECT_FALSE(root.exists("/flash/opt/kernel/README"));
    EXPECT_EQ(root.read("/flash/bootimage"), bytes);
    EXPECT_EQ(linkText(root, "/flash/var/pdb/kernel/image"), "/flash/bootimage");
    EXPECT_EQ(root.read("/flash/UPGRADED"), "");
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_TRUE(contains(result.out, "installed kernel-1.0\n")) << result.out;
    EXPECT_TRUE(root.temporaryFiles().empty());

    // The database reads the package back through the link.
    auto shown = root.run({"--show"});
    EXPECT_TRUE(contains(shown.out, "          kernel ")) << shown.out;
}

TEST(StreamInstall, BootFlagWithoutImagePartKeepsTheBootImage) {
    RouterRoot root;
    root.write("/flash/bootimage", "previous boot image");
    auto result =
        root.install(e2e::signedPackage(bootPackage(std::nullopt)), {}, {{"bootimage", "yes"}});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(root.read("/flash/bootimage"), "previous boot image");
    EXPECT_FALSE(root.exists("/flash/boot/vmlinux"));
    EXPECT_EQ(root.read("/flash/UPGRADED"), "");
    EXPECT_EQ(root.read("/flash/var/pdb/kernel/version"), decimal(kV1) + " 1000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/kernel/files"), "");
    EXPECT_FALSE(root.exists("/flash/var/pdb/kernel/image"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_FALSE(root.exists("/image"));

    // An ordinary package never takes the boot image away either.
    installOk(root, e2e::simplePackage("plain", kV1));
    EXPECT_EQ(root.read("/flash/bootimage"), "previous boot image");
}

TEST(StreamInstall, UnrecordedPackageLeavesTheInstalledEntry) {
    RouterRoot root;
    installOk(root, e2e::simplePackage("fw", kV1));
    std::string entryBefore =
        root.read("/flash/var/pdb/fw/version") + "|" + root.read("/flash/var/pdb/fw/files");

    auto patch = e2e::simplePackage("fw", kV2);
    patch.unrecorded = true;
    patch.files = {e2e::file("opt/fw/patch", "hot fix\n")};
    auto result = root.install(e2e::signedPackage(patch));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(root.read("/flash/opt/fw/patch"), "hot fix\n");
    EXPECT_EQ(root.read("/flash/opt/fw/README"), "package fw\n");
    EXPECT_EQ(root.read("/flash/var/pdb/fw/version") + "|" + root.read("/flash/var/pdb/fw/files"),
              entryBefore);
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_TRUE(root.temporaryFiles().empty());

    // A new name leaves no database entry at all.
    auto loose = e2e::simplePackage("loose", kV1);
    loose.unrecorded = true;
    installOk(root, loose);
    EXPECT_TRUE(root.exists("/flash/opt/loose/README"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/loose"));
}

TEST(StreamInstall, ImagePartPackageIsStoredWholeInItsDirectory) {
    RouterRoot root;
    auto recipe = e2e::simplePackage("whole", kV1);
    recipe.imagePart = e2e::incompressibleBytes(10000, 7);
    recipe.note = "kept whole";
    std::string bytes = e2e::signedPackage(recipe);
    auto result = root.install(bytes);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(root.read("/flash/var/pdb/whole/image"), bytes);
    EXPECT_EQ(root.read("/flash/opt/whole/README"), "package whole\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/whole/version"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_TRUE(root.temporaryFiles().empty());
    auto shown = root.run({"--show"});
    EXPECT_TRUE(contains(shown.out, "           whole    " + std::string(10, ' ') + "1.0 "))
        << shown.out;
    EXPECT_TRUE(contains(shown.out, "kept whole\n")) << shown.out;

    // A newer version replaces the stored image.
    recipe.version = kV2;
    std::string newer = e2e::signedPackage(recipe);
    auto upgraded = root.install(newer);
    EXPECT_EQ(upgraded.status, 0) << upgraded.out;
    EXPECT_EQ(root.read("/flash/var/pdb/whole/image"), newer);
}

TEST(StreamInstall, SameVersionIsOmitted) {
    RouterRoot root;
    auto recipe = e2e::simplePackage("same", kV1);
    recipe.imagePart = std::string("stored image");
    std::string bytes = e2e::signedPackage(recipe);
    installOk(root, recipe);
    root.write("/flash/opt/same/README", "changed by the user\n");

    std::string before = root.listingWithoutPostLog();
    auto again = root.install(bytes);
    EXPECT_EQ(again.status, 0) << again.out;
    const std::string warning = "WARNING: omitting package same-1.0: it is already installed";
    EXPECT_TRUE(contains(again.out, warning + "\n")) << again.out;
    EXPECT_FALSE(contains(again.out, "installed same-1.0\n")) << again.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);
    EXPECT_EQ(root.read("/flash/postlog"), "installed same-1.0\n" + warning + "\n");
    EXPECT_TRUE(root.temporaryFiles().empty());

    // A different build time of the same version is installed again.
    recipe.buildTime = 5000;
    auto rebuilt = root.install(e2e::signedPackage(recipe));
    EXPECT_EQ(rebuilt.status, 0) << rebuilt.out;
    EXPECT_EQ(root.read("/flash/opt/same/README"), "package same\n");
}

// The status line while a package is read: always 77 characters, a bar that
// only grows, complete once the package has been read to its end.
TEST(StreamInstall, ProgressBarFillsToFullWidth) {
    RouterRoot root;
    auto recipe = e2e::simplePackage("bar", kV1);
    for (int i = 0; i < 40; ++i)
        recipe.files.push_back(
            e2e::file("data/f" + std::to_string(i), e2e::incompressibleBytes(3000, i + 1)));
    auto result = root.install(e2e::signedPackage(recipe));
    ASSERT_EQ(result.status, 0) << result.out;

    const std::string label = "installing bar-1.0 [";
    const size_t width = 77 - label.size() - 1;
    std::vector<std::string> texts = e2e::statusTexts(result.out);
    ASSERT_GE(texts.size(), 3u) << result.out;
    size_t previousMarks = 0;
    std::string lastBar;
    size_t draws = 0;
    for (const std::string& text : texts) {
        if (text.empty()) continue;
        ++draws;
        ASSERT_EQ(text.size(), 77u) << text;
        ASSERT_EQ(text.compare(0, label.size(), label), 0) << text;
        ASSERT_EQ(text.back(), ']');
        std::string inside = text.substr(label.size(), width);
        size_t marks = inside.find_first_not_of('#');
        if (marks == std::string::npos) marks = inside.size();
        ASSERT_EQ(inside.find_first_not_of(' ', marks), std::string::npos) << text;
        EXPECT_GE(marks, previousMarks) << text;
        previousMarks = marks;
        lastBar = text;
    }
    // Unchanged bars are not drawn again, so there are at most width + 1 draws.
    EXPECT_LE(draws, width + 1);
    EXPECT_GT(draws, 3u);
    EXPECT_EQ(lastBar, label + std::string(width, '#') + "]");
    // The bar is erased before the closing line.
    EXPECT_EQ(texts.back(), "");
    EXPECT_TRUE(contains(result.out, "installed bar-1.0\n"));
}

TEST(StreamInstall, QuietInstallWritesNothing) {
    RouterRoot root;
    auto result = root.install(e2e::signedPackage(e2e::simplePackage("hush", kV1)), {"-q"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(root.exists("/flash/opt/hush/README"));
    EXPECT_FALSE(root.exists("/flash/postlog"));
}

}  // namespace
