// The argument scan of the built installer, its exit statuses and direct
// output lines, the listing table, and the --commit and --cancel actions, which
// act during the scan (before any change of root) and so run inside the root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "e2e/RouterRoot.h"

namespace {

using e2e::RouterRoot;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
const std::string kUsage = "usage: installer [-q] [-r <root>] [-]\n";
const std::string kFinishing = "finishing install... ";

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

std::string package(const std::string& name) {
    return e2e::signedPackage(e2e::simplePackage(name, kV1));
}

std::string linkText(const RouterRoot& root, const std::string& inside) {
    char buffer[256];
    ssize_t n = readlink(root.at(inside).c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

TEST(CommandLine, NoArgumentsRunTheUpgrade) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    RouterRoot root;
    e2e::prepareUpgradeRoot(root);
    e2e::upload(root, e2e::kUploads, "up.npk", package("uploaded"));
    auto result = root.runInside({});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_FALSE(contains(result.out, "usage")) << result.out;
    EXPECT_EQ(root.read("/flash/opt/uploaded/README"), "package uploaded\n");
    EXPECT_TRUE(root.exists("/flash/PCKGS_CHANGED"));
}

TEST(CommandLine, UnknownArgumentsPrintTheUsageAndChangeNothing) {
    RouterRoot root;
    ASSERT_EQ(root.install(package("present")).status, 0);
    std::string before = root.listing();
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"-qd"},
                                               {"--show=1"},
                                               {"--SHOW"},
                                               {""},
                                               {"-q", "-x", "-"},
                                               {"--safe", "-r"}}) {
        auto result = root.run(args, package("never"));
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.out, kUsage) << args[0];
        EXPECT_EQ(result.err, "");
    }
    EXPECT_EQ(root.listing(), before);

    // A "-r" with nothing after it is not a root option.
    auto alone = e2e::runInstallerBare({"-r"});
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(alone.out, kUsage);
    EXPECT_EQ(alone.err, "");
}

TEST(CommandLine, FailedChangeOfRootStopsTheRun) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-r", "/nonexistent/installer-root", "--show"},
                                               {"-r", "/nonexistent/installer-root", "-"}}) {
        auto result = e2e::runInstallerBare(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "chroot: No such file or directory\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, QuietOnlyBeforeTheDash) {
    RouterRoot root;
    auto quiet = root.run({"-q", "-"}, package("first"));
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_TRUE(root.exists("/flash/opt/first/README"));
    EXPECT_FALSE(root.exists("/flash/postlog"));

    // The scan stops at "-": what follows is never looked at.
    auto loud = root.run({"-", "-q", "--bogus"}, package("second"));
    EXPECT_EQ(loud.status, 0);
    EXPECT_TRUE(contains(loud.out, "installed second-1.0\n")) << loud.out;
    EXPECT_EQ(root.read("/flash/postlog"), "installed second-1.0\n");

    // Options without effect are accepted.
    auto accepted = root.run({"-b", "--force", "--noupgrade", "-i", "-"}, package("third"));
    EXPECT_EQ(accepted.status, 0);
    EXPECT_TRUE(contains(accepted.out, "installed third-1.0\n")) << accepted.out;
}

TEST(CommandLine, SafeDoesNotDelayAStreamInstall) {
    RouterRoot root;
    auto result = root.run({"--safe", "-"}, package("safe"));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(root.exists("/flash/opt/safe/README"));
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(CommandLine, UnwritableImageCopyStopsTheStreamInstall) {
    RouterRoot root;
    testsupport::removeTree(root.at("/flash/var/pdb"));
    auto result = root.install(package("nowhere"));
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "WARNING: could not open repo\nERROR: could not open image\n");
    EXPECT_FALSE(root.exists("/flash/postlog"));
    EXPECT_FALSE(root.exists("/flash/opt/nowhere/README"));
}

TEST(CommandLine, CleanupAndShowPrecedence) {
    RouterRoot root;
    auto system = e2e::simplePackage("system", makeVersion(3, 22, 'f', 0));
    ASSERT_EQ(root.install(e2e::signedPackage(system)).status, 0);
    ASSERT_EQ(root.install(package("extra")).status, 0);
    std::string before = root.listing();

    // Listing wins over a cleanup given after it.
    auto listing = root.run({"--show", "--cleanup"});
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.out.rfind("            Name    ", 0), 0u) << listing.out;
    EXPECT_TRUE(contains(listing.out, "           extra ")) << listing.out;
    EXPECT_EQ(root.listing(), before);

    // --cleanup ends the scan, so the listing is never asked for.
    auto cleanup = root.run({"--cleanup", "--show"});
    EXPECT_EQ(cleanup.status, 0) << cleanup.out;
    EXPECT_FALSE(contains(cleanup.out, "Name")) << cleanup.out;
    EXPECT_FALSE(root.exists("/flash/var/pdb/extra"));
    EXPECT_FALSE(root.exists("/flash/opt/extra/README"));
    EXPECT_TRUE(root.exists("/flash/var/pdb/system"));
    // The cleanup keeps no post-log.
    EXPECT_EQ(root.read("/flash/postlog"), "installed system-3.22\ninstalled extra-1.0\n");
}

TEST(CommandLine, EmptyRootMeansNoChangeOfRoot) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    RouterRoot root;
    ASSERT_EQ(root.install(package("inside")).status, 0);
    // Run inside the root: an empty "-r" must not try to change root again.
    auto result = root.runInside({"-r", "", "--show"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(contains(result.out, "          inside ")) << result.out;
}

// Right-aligned in a field of the given width, as the listing pads.
std::string field(size_t width, const std::string& text) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string row(const std::string& name, bool disabled, bool inBundle, const std::string& version,
                const std::string& built, const std::string& note) {
    return field(16, name) + " " + (disabled ? "X" : " ") + (inBundle ? "B " : "  ") +
           field(13, version) + " " + field(20, built) + " " + field(40, note) + "\n";
}

TEST(CommandLine, ShowPrintsTheTable) {
    RouterRoot root;
    auto emptyList = root.run({"--show"});
    const std::string header =
        "            Name          Version                Built                                "
        "    Note\n";
    const std::string separator = std::string(94, '-') + "\n";
    EXPECT_EQ(emptyList.out, header + separator);

    // Notes are known to the database only through stored images.
    auto noted = e2e::simplePackage("noted", makeVersion(6, 2, 'b', 5), 0);
    noted.note = "a note";
    noted.imagePart = std::string("image");
    ASSERT_EQ(root.install(e2e::signedPackage(noted)).status, 0);
    auto guard = e2e::simplePackage("guard", makeVersion(3, 20, 'c', 2), 1000);
    guard.conflicts = {{"shy", 0, 0, 0}};
    guard.note = "a note that is longer than the forty characters of its column";
    guard.imagePart = std::string("image");
    auto plain = e2e::simplePackage("plain", kV1);
    plain.note = "not kept";
    ASSERT_EQ(root.install(e2e::signedPackage(plain)).status, 0);
    ASSERT_EQ(root.install(e2e::signedPackage(guard)).status, 0);
    ASSERT_EQ(root.install(e2e::signedPackage(e2e::simplePackage("shy", kV1, 86399))).status, 0);
    pkgwriter::BundleRecipe bundle;
    bundle.name = "suite";
    bundle.version = makeVersion(6, 2, 'f', 1);
    bundle.buildTime = 1700000000;
    bundle.imagePart = std::string();
    bundle.members = {e2e::simplePackage("member", makeVersion(6, 2, 'f', 1), 1700000000)};
    bundle.defaultOff = {"member"};
    ASSERT_EQ(root.install(e2e::signedBundle(bundle)).status, 0);

    auto shown = root.run({"--show"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.err, "");
    ASSERT_EQ(shown.out.rfind(header + separator, 0), 0u) << shown.out;
    // Rows come in database order, which the directory decides; compare them as a set.
    std::vector<std::string> rows;
    std::istringstream lines(shown.out.substr(header.size() + separator.size()));
    for (std::string line; std::getline(lines, line);) rows.push_back(line + "\n");
    std::sort(rows.begin(), rows.end());
    std::vector<std::string> expected = {
        "           noted         6.2beta5 Jan/01/1970 00:00:00                                   "
        "a note\n",
        row("guard", false, false, "3.20rc2", "Jan/01/1970 00:16:40",
            "a note that is longer than the forty characters of its column"),
        row("shy", true, false, "1.0", "Jan/01/1970 23:59:59", ""),
        row("plain", false, false, "1.0", "Jan/01/1970 00:16:40", ""),
        row("suite", false, false, "6.2.1", "Nov/14/2023 22:13:20", ""),
        row("member", true, true, "6.2.1", "Nov/14/2023 22:13:20", ""),
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected) << shown.out;
}

// A manifest as an upgrade run under --safe leaves it, with a staged file in /ram.
void writeManifest(const RouterRoot& root) {
    root.write("/ram/tmpAbC123", "staged contents");
    root.write("/flash/old", "to be removed");
    root.write("/ram/MANIFEST",
               "L /flash/link /flash/target\nM /flash/moved /ram/tmpAbC123\nU /flash/old\n");
}

TEST(CommandLine, CommitAppliesTheManifestAndKeepsIt) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    RouterRoot root;
    writeManifest(root);
    auto first = root.runInside({"--commit"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, kFinishing + "\b \n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(root.read("/flash/moved"), "staged contents");
    EXPECT_FALSE(root.exists("/ram/tmpAbC123"));
    EXPECT_FALSE(root.exists("/flash/old"));
    EXPECT_EQ(linkText(root, "/flash/link"), "/flash/target");
    EXPECT_TRUE(root.exists("/ram/MANIFEST"));

    // The second run reads the same manifest: the removal applies again, and
    // the move finds its source gone.
    root.write("/flash/old", "back again");
    auto second = root.runInside({"--commit"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, kFinishing + "\b \n");
    EXPECT_EQ(second.err, "rename: No such file or directory\n");
    EXPECT_FALSE(root.exists("/flash/old"));
    EXPECT_EQ(root.read("/flash/moved"), "staged contents");
    EXPECT_TRUE(root.exists("/ram/MANIFEST"));

    // Without a manifest there is nothing to apply, and still no failure.
    unlink(root.at("/ram/MANIFEST").c_str());
    auto none = root.runInside({"--commit"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, kFinishing + "\b \n");
}

TEST(CommandLine, CommitAcrossFileSystemsTurnsTheSpinner) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    std::string why;
    if (!testsupport::tmpfsMountsAvailable(&why))
        GTEST_SKIP() << "tmpfs mounts in a private namespace are refused: " << why;
    RouterRoot root;
    int status = testsupport::runInChild([&] {
        std::string reason;
        ASSERT_TRUE(testsupport::enterPrivateMountNamespace(&reason)) << reason;
        ASSERT_TRUE(testsupport::mountTmpfs(root.at("/ram"), 1 << 20, &reason)) << reason;
        writeManifest(root);
        auto result = root.runInside({"--commit"});
        EXPECT_EQ(result.status, 0);
        // One chunk copied: the first spinner character, then the space over it.
        EXPECT_EQ(result.out, kFinishing + "|\b \n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(root.read("/flash/moved"), "staged contents");
        // A copy leaves its source behind.
        EXPECT_TRUE(root.exists("/ram/tmpAbC123"));
    });
    EXPECT_EQ(status, 0);
}

TEST(CommandLine, CancelDropsTheManifestOnly) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    RouterRoot root;
    writeManifest(root);
    std::string before = root.listing();
    auto result = root.runInside({"--cancel"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    // The staged file the manifest names stays where the earlier run left it.
    EXPECT_EQ(root.read("/ram/tmpAbC123"), "staged contents");
    EXPECT_EQ(root.read("/flash/old"), "to be removed");
    EXPECT_FALSE(root.exists("/flash/moved"));
    std::string expected;
    std::istringstream lines(before);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("/ram/MANIFEST ", 0) != 0) expected += line + "\n";
    EXPECT_EQ(root.listing(), expected);
}

TEST(CommandLine, CommitAndCancelActDuringTheScan) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    RouterRoot root;
    writeManifest(root);
    root.write("/inner/ram/MANIFEST", "U /flash/inner-old\n");
    root.write("/inner/flash/inner-old", "inner");

    // Arguments after the action are never looked at.
    auto cancel = root.runInside({"--cancel", "--bogus"});
    EXPECT_EQ(cancel.out, "");
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));

    // An unknown argument before it ends the run first.
    writeManifest(root);
    auto usage = root.runInside({"--bogus", "--commit"});
    EXPECT_EQ(usage.out, kUsage);
    EXPECT_TRUE(root.exists("/flash/old"));

    // The root given before the action is not changed into yet: the manifest
    // of the root the program runs in is committed.
    auto commit = root.runInside({"-r", "/inner", "--commit"});
    EXPECT_EQ(commit.status, 0);
    EXPECT_EQ(commit.out, kFinishing + "\b \n");
    EXPECT_FALSE(root.exists("/flash/old"));
    EXPECT_EQ(root.read("/flash/moved"), "staged contents");
    EXPECT_EQ(root.read("/inner/flash/inner-old"), "inner");
}

}  // namespace
