// Interrupted runs, end to end: the built installer is ended abruptly (SIGKILL,
// as a power loss would end it) just before its Nth file-system change by the
// preloaded fault_injection library, for every N in turn.
// - `--commit` of an upgrade saved with `--safe`, interrupted anywhere and then
//   run again to the end, must give the very tree an uninterrupted commit gives.
// - The upgrade run and the stream install ("-"), interrupted anywhere before
//   their commit starts, must leave the router's directories as they were but
//   for temporary files and, for the stream install, its copy of the package.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "e2e/FaultHarness.h"

namespace {

using e2e::Environment;
using e2e::RouterRoot;
using e2e::SavedTree;
using e2e::kPreloadInside;
using e2e::kStreamImageCopy;
using e2e::listingWithoutLeftovers;
using e2e::report;
using e2e::runOutside;

constexpr int kKilledStatus = 128 + SIGKILL;
constexpr int kRunTimeoutSeconds = 30;
// Far more changes than any of these runs makes: a bound for the loops.
constexpr int kChangeLimit = 2000;
constexpr char kLockFile[] = "/ram/installer.lock";
// Larger than a file stream's buffer, so that such a file is written in several
// pieces and an interruption can fall between them.
constexpr size_t kBlobSize = 40000;

pkgwriter::PackageRecipe package(const std::string& name, VersionNumber version,
                               const std::vector<pkgwriter::ContainerFile>& files) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = name;
    recipe.version = version;
    recipe.buildTime = 1000;
    recipe.files = files;
    return recipe;
}

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool isTemporaryName(const std::string& path) {
    std::string name = baseName(path);
    return (name.size() == 9 && name.compare(0, 3, "tmp") == 0) || path == kStreamImageCopy;
}

Environment interruptedAt(int change, Environment env, const std::string& preload) {
    return e2e::withPreload(std::move(env), preload, {{"INTERRUPT_AT", std::to_string(change)}});
}

// The 1-based number of the first change that a commit makes: before it, a run
// only writes files and deletes temporary files it made itself.
size_t firstCommitChange(const std::vector<e2e::LoggedCall>& changes) {
    for (size_t i = 0; i < changes.size(); ++i) {
        const e2e::LoggedCall& c = changes[i];
        bool writes = c.operation == "write" || c.operation == "writev" ||
                      c.operation == "pwrite" || c.operation == "pwrite64";
        bool dropsTemporary =
            (c.operation == "unlink" || c.operation == "unlinkat") && isTemporaryName(c.path);
        // The record of temporary files and the post-log are kept up to date
        // before the commit too.
        bool bookkeeping = c.path == "/flash/postlog" || c.path == kLockFile ||
                           baseName(c.path).rfind(".temporaries", 0) == 0;
        if (!writes && !dropsTemporary && !bookkeeping) return i + 1;
    }
    return changes.size() + 1;
}

// A router with two installed packages (alpha 1.0, with a file that its next
// version drops, and beta, scheduled for uninstall) and an upload directory
// holding alpha 2.0, a new package gamma, a boot-image package and a package
// kept whole for its image part: the upgrade removes files and directories,
// links the boot image, and moves new files and package files into place.
class UpgradeScene {
public:
    UpgradeScene() {
        e2e::prepareUpgradeRoot(root);
        for (const auto& recipe : {package("alpha", makeVersion(1, 0, 'f', 0),
                                         {e2e::file("opt/alpha/README", "alpha 1\n"),
                                          e2e::file("opt/alpha/old", "dropped by alpha 2\n")}),
                                 package("beta", makeVersion(1, 0, 'f', 0),
                                         {e2e::file("opt/beta/README", "beta\n"),
                                          e2e::file("bin/beta", "#!/bin/sh\n", 0755)})}) {
            testsupport::ProcessResult r = runOutside(root, {"-"}, e2e::signedPackage(recipe), {});
            setupReport += report(r);
            setupOk = setupOk && r.status == 0;
        }
        root.write("/ram/pdb/beta/schedule", "uninstall\n");

        root.write("/flash/rw/pckg/alpha.npk",
                   e2e::signedPackage(
                       package("alpha", makeVersion(2, 0, 'f', 0),
                               {e2e::file("opt/alpha/README", "alpha 2\n"),
                                e2e::file("opt/alpha/blob", e2e::incompressibleBytes(kBlobSize, 7)),
                                e2e::file("bin/alpha", "#!/bin/sh\n", 0755)})));
        root.write("/flash/rw/pckg/gamma.npk",
                   e2e::signedPackage(package("gamma", makeVersion(1, 0, 'f', 0),
                                              {e2e::file("opt/gamma/data", "gamma\n")})));
        auto kernel = package("kernel", makeVersion(1, 0, 'f', 0),
                              {e2e::file("opt/kernel/modules", "not extracted\n")});
        kernel.flags = 1;
        kernel.imagePart = std::string("KERNEL IMAGE");
        kernelFile = e2e::signedPackage(kernel);
        root.write("/flash/rw/pckg/kernel.npk", kernelFile);
        auto delta =
            package("delta", makeVersion(1, 0, 'f', 0), {e2e::file("opt/delta/README", "delta\n")});
        delta.imagePart = std::string("DELTA IMAGE");
        deltaFile = e2e::signedPackage(delta);
        root.write("/flash/rw/pckg/delta.npk", deltaFile);
        unlink(root.at("/flash/postlog").c_str());
    }

    // "bootimage" makes the kernel package the boot image.
    static Environment environment() { return {{"bootimage", "1"}}; }

    // What the upgrade must have done, however it was committed.
    void expectApplied() const {
        EXPECT_EQ(root.read("/flash/opt/alpha/README"), "alpha 2\n");
        EXPECT_EQ(root.read("/flash/opt/alpha/blob"), e2e::incompressibleBytes(kBlobSize, 7));
        EXPECT_TRUE(root.exists("/flash/bin/alpha"));
        EXPECT_FALSE(root.exists("/flash/opt/alpha/old"));
        EXPECT_FALSE(root.exists("/flash/opt/beta/README"));
        EXPECT_FALSE(root.exists("/flash/bin/beta"));
        EXPECT_FALSE(root.exists("/flash/var/pdb/beta"));
        EXPECT_EQ(root.read("/flash/opt/gamma/data"), "gamma\n");
        EXPECT_EQ(root.read("/flash/bootimage"), kernelFile);
        char text[64] = {};
        ssize_t n = readlink(root.at("/flash/var/pdb/kernel/image").c_str(), text, sizeof text - 1);
        EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0), "/flash/bootimage");
        EXPECT_EQ(root.read("/flash/var/pdb/delta/image"), deltaFile);
        EXPECT_TRUE(root.exists("/flash/PCKGS_CHANGED"));
        EXPECT_TRUE(root.temporaryFiles().empty());
    }

    RouterRoot root;
    bool setupOk = true;
    std::string setupReport;
    std::string kernelFile;
    std::string deltaFile;
};

size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(InterruptedCommit, ResumedCommitGivesTheTreeOfAnUninterruptedOne) {
    UpgradeScene scene;
    ASSERT_TRUE(scene.setupOk) << scene.setupReport;
    const RouterRoot& root = scene.root;
    // --commit acts on the real "/ram/MANIFEST", before any -r: it has to run
    // inside the root, and LD_PRELOAD needs the dynamically linked installer.
    std::string why;
    if (!e2e::installDynamicInstaller(root, {FAULT_PRELOAD}, &why)) GTEST_SKIP() << why;

    testsupport::ProcessResult saved = runOutside(root, {"--safe"}, "", scene.environment());
    ASSERT_EQ(saved.status, 0) << report(saved);
    std::string manifest = root.read("/ram/MANIFEST");
    ASSERT_FALSE(manifest.empty());
    unlink(root.at("/flash/postlog").c_str());
    SavedTree savedTree(root);

    testsupport::ProcessResult whole = e2e::runDynamicInside(root, {"--commit"});
    ASSERT_EQ(whole.status, 0) << report(whole);
    scene.expectApplied();
    std::string reference = e2e::routerListing(root);

    int changes = -1;
    std::vector<std::string> failures;
    for (int n = 1; n <= kChangeLimit && changes < 0; ++n) {
        savedTree.restoreInto(root);
        testsupport::ProcessResult cut = e2e::runDynamicInside(
            root, {"--commit"}, interruptedAt(n, {}, kPreloadInside), kRunTimeoutSeconds);
        if (cut.status != kKilledStatus) {
            // Fewer than n changes: this run went through.
            changes = n - 1;
            EXPECT_EQ(cut.status, 0) << report(cut);
            EXPECT_EQ(e2e::routerListing(root), reference) << "commit of " << changes << " changes";
            break;
        }
        testsupport::ProcessResult resumed =
            e2e::runDynamicInside(root, {"--commit"}, {}, kRunTimeoutSeconds);
        std::string after = e2e::routerListing(root);
        if (resumed.status != 0 || after != reference)
            failures.push_back("interrupted before change " + std::to_string(n) +
                               ", then resumed: " + report(resumed) + "\ntree:\n" + after);
    }
    for (size_t i = 0; i < failures.size() && i < 5; ++i) ADD_FAILURE() << failures[i];
    EXPECT_EQ(failures.size(), 0u) << "of " << changes << " interruption points";
    // Every manifest line makes at least one change.
    EXPECT_GE(changes, static_cast<int>(lineCount(manifest))) << manifest;
    std::printf("--commit of %zu manifest lines: %d interruption points\n", lineCount(manifest),
                changes);
}

// Runs the installer once to the end (checkApplied judges the result), then
// interrupts it before each of its changes up to the first of its commit, and
// expects the tree as it was but for leftovers.
void expectUnchangedWhenInterruptedBeforeCommit(const RouterRoot& root,
                                                const std::vector<std::string>& args,
                                                const std::string& input, const Environment& env,
                                                bool allowStreamImageCopy,
                                                const std::function<void()>& checkApplied) {
    SavedTree savedTree(root);
    std::string before = e2e::routerListing(root);

    testsupport::TempDir logDir;
    std::string logPath = logDir / "changes";
    Environment counting = interruptedAt(0, env, FAULT_PRELOAD);
    counting["INTERRUPT_LOG"] = logPath;
    testsupport::ProcessResult whole = runOutside(root, args, input, counting);
    ASSERT_EQ(whole.status, 0) << report(whole);
    ASSERT_NE(e2e::routerListing(root), before) << "the run changed nothing";
    checkApplied();
    std::vector<e2e::LoggedCall> changes = e2e::readCallLog(logPath);
    size_t commitStart = firstCommitChange(changes);
    ASSERT_GT(commitStart, 1u) << "no change before the commit";
    ASSERT_LE(commitStart, changes.size()) << "no commit seen";

    size_t leftovers = 0;
    for (size_t n = 1; n <= commitStart; ++n) {
        savedTree.restoreInto(root);
        testsupport::ProcessResult cut = runOutside(
            root, args, input, interruptedAt(static_cast<int>(n), env, FAULT_PRELOAD));
        ASSERT_EQ(cut.status, kKilledStatus) << "before change " << n << ": " << report(cut);
        EXPECT_EQ(listingWithoutLeftovers(root, allowStreamImageCopy), before)
            << "interrupted before change " << n << " (" << changes[n - 1].operation << " "
            << changes[n - 1].path << ")";
        leftovers += root.temporaryFiles().size();
    }
    // The sweep reached the staged files: some interruption left them behind.
    EXPECT_GT(leftovers, 0u);
    std::printf("%zu interruption points before the commit\n", commitStart);
}

TEST(InterruptedCommit, UpgradeRunInterruptedBeforeItsCommitChangesNothing) {
    UpgradeScene scene;
    ASSERT_TRUE(scene.setupOk) << scene.setupReport;
    expectUnchangedWhenInterruptedBeforeCommit(scene.root, {}, "", scene.environment(), false,
                                               [&] { scene.expectApplied(); });
}

TEST(InterruptedCommit, StreamInstallInterruptedBeforeItsCommitChangesNothing) {
    RouterRoot root;
    testsupport::ProcessResult earlier = runOutside(
        root, {"-"},
        e2e::signedPackage(package("alpha", makeVersion(1, 0, 'f', 0),
                                   {e2e::file("opt/alpha/README", "alpha 1\n"),
                                    e2e::file("opt/alpha/old", "dropped by alpha 2\n")})),
        {});
    ASSERT_EQ(earlier.status, 0) << report(earlier);
    unlink(root.at("/flash/postlog").c_str());
    // An image part makes the stream install keep its copy of the package.
    auto next = package("alpha", makeVersion(2, 0, 'f', 0),
                        {e2e::file("opt/alpha/README", "alpha 2\n"),
                         e2e::file("opt/alpha/blob", e2e::incompressibleBytes(kBlobSize, 7)),
                         e2e::file("bin/alpha", "#!/bin/sh\n", 0755)});
    next.imagePart = std::string("ALPHA IMAGE");
    std::string input = e2e::signedPackage(next);
    expectUnchangedWhenInterruptedBeforeCommit(root, {"-"}, input, {}, true, [&] {
        EXPECT_EQ(root.read("/flash/var/pdb/alpha/image"), input);
        EXPECT_EQ(root.read("/flash/opt/alpha/README"), "alpha 2\n");
        EXPECT_EQ(root.read("/flash/opt/alpha/blob"), e2e::incompressibleBytes(kBlobSize, 7));
        EXPECT_FALSE(root.exists("/flash/opt/alpha/old"));
        EXPECT_FALSE(root.exists(kStreamImageCopy));
    });
}

}  // namespace
