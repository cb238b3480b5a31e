// Faults of the file system, end to end: the preloaded fault_injection library
// makes the Nth call of one kind (write, read, open, rename, fsync, mkdir,
// unlink, symlink) fail with ENOSPC, EIO or EROFS, for every N the run makes,
// in each scene. Every run must end in one of two ways:
// - exit 0, with the router's tree equal to that of a run without faults;
// - a nonzero exit with a message on the console, and the tree as it was
//   before (post-log aside) unless the fault hit the commit itself; a saved
//   manifest whose commit failed gives the whole result when committed again.
// Never a crash, and no temporary file that no record names.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>

#include "e2e/FaultHarness.h"
#include "tools/harness/RouterTree.h"

namespace {

using e2e::Environment;
using e2e::RouterRoot;

const char* const kKinds[] = {"write", "read",   "open",    "rename", "fsync",
                              "mkdir", "unlink", "symlink", "close"};
const char* const kErrnos[] = {"ENOSPC", "EIO", "EROFS"};
// Statuses a run may end with; anything else is a crash.
const int kStatuses[] = {0, 1, 28, 255};

pkgwriter::PackageRecipe package(const std::string& name, VersionNumber version,
                                 const std::vector<pkgwriter::ContainerFile>& files) {
    pkgwriter::PackageRecipe recipe = e2e::simplePackage(name, version);
    recipe.files = files;
    return recipe;
}

VersionNumber v(int major) { return makeVersion(major, 0, 'f', 0); }

void installFirst(const RouterRoot& root, const pkgwriter::PackageRecipe& recipe) {
    testsupport::ProcessResult r = root.install(e2e::signedPackage(recipe));
    ASSERT_EQ(r.status, 0) << testsupport::describe(r);
}

// alpha 1 installed (with a file its next version drops) and beta 1 installed.
void installedBase(const RouterRoot& root) {
    e2e::prepareUpgradeRoot(root);
    installFirst(root, package("alpha", v(1), {e2e::file("opt/alpha/README", "alpha 1\n"),
                                               e2e::file("opt/alpha/old", "old\n")}));
    installFirst(root, package("beta", v(1), {e2e::file("bin/beta", "beta 1\n", 0755)}));
}

std::string alphaTwo() {
    return e2e::signedPackage(package("alpha", v(2), {e2e::file("opt/alpha/README", "alpha 2\n"),
                                                      e2e::file("bin/alpha", "#!\n", 0755)}));
}

std::string bootPackage() {
    auto kernel = package("kernel", v(1), {e2e::file("opt/kernel/modules", "modules\n")});
    kernel.flags = 1;
    kernel.imagePart = std::string("KERNEL IMAGE");
    return e2e::signedPackage(kernel);
}

// Besides the base: alpha 2 (a file larger than a write buffer, so that a
// fault can fall between its pieces), a new package, a boot image, a package
// kept whole for its image part, and beta scheduled for uninstall.
void twoUploads(const RouterRoot& root) {
    installedBase(root);
    auto alpha = package("alpha", v(2), {e2e::file("opt/alpha/README", "alpha 2\n"),
                                         e2e::file("opt/alpha/blob", e2e::incompressibleBytes(40000, 7))});
    e2e::upload(root, e2e::kUploads, "alpha.npk", e2e::signedPackage(alpha));
    e2e::upload(root, e2e::kUploads, "gamma.npk",
                e2e::signedPackage(package("gamma", v(1), {e2e::file("opt/gamma", "gamma\n")})));
    e2e::upload(root, e2e::kUploads, "kernel.npk", bootPackage());
    auto delta = package("delta", v(1), {e2e::file("opt/delta/README", "delta\n")});
    delta.imagePart = std::string("DELTA IMAGE");
    e2e::upload(root, e2e::kUploads, "delta.npk", e2e::signedPackage(delta));
    root.write("/ram/pdb/beta/schedule", "uninstall\n");
}

struct Scene {
    const char* name;
    std::function<void(const RouterRoot&)> prepare;
    std::vector<std::string> args;
    std::function<std::string()> input;
    Environment env;
    bool inside;  // run inside the root (for --commit, which acts before -r)
};

const Scene kScenes[] = {
    {"stream install", installedBase, {"-"}, alphaTwo, {}, false},
    {"boot-image stream", installedBase, {"-"}, bootPackage, {{"bootimage", "1"}}, false},
    {"upgrade run", twoUploads, {}, [] { return std::string(); }, {{"bootimage", "1"}}, false},
    {"safe upgrade", twoUploads, {"--safe"}, [] { return std::string(); }, {{"bootimage", "1"}}, false},
    {"commit",
     [](const RouterRoot& root) {
         twoUploads(root);
         testsupport::ProcessResult r = root.run({"--safe"}, "", {{"bootimage", "1"}});
         ASSERT_EQ(r.status, 0) << testsupport::describe(r);
     },
     {"--commit"},
     [] { return std::string(); },
     {},
     true},
};

// A manifest with its temporary file names, which differ from run to run,
// made alike.
std::string normalizedManifest(const RouterRoot& root) {
    if (!root.exists("/ram/MANIFEST")) return "(none)";
    return harness::maskScratchNames(root.read("/ram/MANIFEST"));
}

// What a run leaves that counts: the tree without scratch files, and the
// manifest with its names made alike.
std::string outcome(const RouterRoot& root) {
    std::string kept;
    std::istringstream lines(e2e::listingWithoutLeftovers(root, false));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("/ram/MANIFEST ", 0) != 0) kept += line + "\n";
    return kept + "manifest: " + normalizedManifest(root);
}

class FaultSweep : public ::testing::TestWithParam<size_t> {
protected:
    const Scene& scene() const { return kScenes[GetParam()]; }

    testsupport::ProcessResult run(const Environment& settings) {
        const Scene& s = scene();
        Environment env = s.env;
        if (s.inside) {
            env = e2e::withPreload(env, e2e::kPreloadInside, settings);
            return e2e::runDynamicInside(root, s.args, env);
        }
        env = e2e::withPreload(env, FAULT_PRELOAD, settings);
        return root.run(s.args, input, env);
    }
    // The scene on a fresh root, saved; before is its outcome. False when the
    // test cannot go on (skipped, or the setup failed).
    bool prepareScene() {
        std::string why;
        if (scene().inside && !e2e::installDynamicInstaller(root, {FAULT_PRELOAD}, &why))
            skipBecause(why);
        if (IsSkipped()) return false;
        scene().prepare(root);
        if (HasFatalFailure()) return false;
        unlink(root.at("/flash/postlog").c_str());
        input = scene().input();
        saved = std::make_unique<e2e::SavedTree>(root);
        before = outcome(root);
        return true;
    }
    void skipBecause(const std::string& why) { GTEST_SKIP() << why; }
    // Calls of the kind the run makes without faults.
    size_t countCalls(const std::string& kind) {
        saved->restoreInto(root);
        std::string log = s_logInside();
        Environment settings = {{"FAULT_CALL", kind}, {"FAULT_AT", "0"}, {"FAULT_LOG", log}};
        unlink(logOnHost().c_str());
        run(settings);
        return e2e::readCallLog(logOnHost()).size();
    }
    std::string s_logInside() const { return scene().inside ? "/faultlog" : logOnHost(); }
    std::string logOnHost() const { return scene().inside ? root.at("/faultlog") : logDir / "log"; }

    // One faulted run judged; an empty text when it ended well.
    std::string judge(const std::string& kind, size_t n, const char* error) {
        saved->restoreInto(root);
        testsupport::ProcessResult r =
            run({{"FAULT_CALL", kind}, {"FAULT_AT", std::to_string(n)}, {"FAULT_ERRNO", error}});
        std::string where = kind + " call " + std::to_string(n) + " failing with " + error + ": ";
        if (std::find(std::begin(kStatuses), std::end(kStatuses), r.status) == std::end(kStatuses))
            return where + "crashed\n" + testsupport::describe(r);
        std::vector<std::string> unrecorded = e2e::unrecordedLeftovers(root);
        if (!unrecorded.empty()) return where + "left " + unrecorded.front() + " unrecorded";
        if (r.status == 0) {
            if (outcome(root) != reference) return where + "exit 0 with another tree\n" + outcome(root);
            return std::string();
        }
        if (r.out.empty() && r.err.empty()) return where + "failed without a message";
        if (outcome(root) == before) return std::string();
        if (!scene().inside) return std::string();  // the fault hit the commit
        // A saved manifest is committed again to the end.
        testsupport::ProcessResult again = e2e::runDynamicInside(root, scene().args, scene().env);
        if (again.status != 0 || outcome(root) != reference)
            return where + "the repeated commit did not finish it\n" + testsupport::describe(again);
        return std::string();
    }

    RouterRoot root;
    testsupport::TempDir logDir;
    std::unique_ptr<e2e::SavedTree> saved;
    std::string input;
    std::string before;
    std::string reference;
};

void reportFailures(const std::vector<std::string>& failures, size_t tries, const char* what) {
    for (size_t i = 0; i < failures.size() && i < 5; ++i) ADD_FAILURE() << failures[i];
    EXPECT_EQ(failures.size(), 0u) << "of " << tries << " " << what;
}

std::string sceneName(const ::testing::TestParamInfo<size_t>& info) {
    std::string name = kScenes[info.param].name;
    std::replace(name.begin(), name.end(), ' ', '_');
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

TEST_P(FaultSweep, EveryCallOfEveryKindMayFail) {
    if (!prepareScene()) return;
    testsupport::ProcessResult whole = run({});
    ASSERT_EQ(whole.status, 0) << testsupport::describe(whole);
    reference = outcome(root);
    ASSERT_NE(reference, before);

    size_t runs = 0;
    std::vector<std::string> failures;
    for (const char* kind : kKinds) {
        size_t calls = countCalls(kind);
        for (size_t n = 1; n <= calls; ++n, ++runs) {
            std::string verdict = judge(kind, n, kErrnos[n % 3]);
            if (!verdict.empty()) failures.push_back(verdict);
        }
    }
    reportFailures(failures, runs, "faulted runs");
    std::printf("%s: %zu faulted runs\n", scene().name, runs);
}

INSTANTIATE_TEST_SUITE_P(Scenes, FaultSweep, ::testing::Range<size_t>(0, std::size(kScenes)),
                         sceneName);

}  // namespace

// ---- Runs cut off by signals, and runs that meet ----
namespace {

constexpr int kTermStatus = 128 + SIGTERM;
constexpr int kKillStatus = 128 + SIGKILL;

bool isBookkeeping(const e2e::LoggedCall& change) {
    return change.operation.rfind("write", 0) == 0 || change.operation.rfind("pwrite", 0) == 0 ||
           change.path == "/flash/postlog" || change.path == e2e::kStreamImageCopy ||
           harness::isScratchName(change.path.substr(change.path.rfind('/') + 1));
}

class Interruption : public FaultSweep {
protected:
    bool prepareChanges() {
        if (!prepareScene()) return false;
        unlink(logOnHost().c_str());
        run({{"INTERRUPT_AT", "0"}, {"INTERRUPT_LOG", s_logInside()}});
        changes = e2e::readCallLog(logOnHost());
        reference = outcome(root);
        // The commit's own changes lie between the first and the last change
        // that is not bookkeeping (data written, temporary files, records).
        for (size_t i = 0; i < changes.size(); ++i) {
            if (isBookkeeping(changes[i])) continue;
            if (commitFirst == 0) commitFirst = i + 1;
            commitLast = i + 1;
        }
        saved->restoreInto(root);
        return true;
    }
    testsupport::ProcessResult interruptedAt(size_t n, const char* signalName) {
        saved->restoreInto(root);
        return run({{"INTERRUPT_AT", std::to_string(n)}, {"INTERRUPT_SIGNAL", signalName}});
    }
    std::vector<std::string> scratch() {
        std::vector<std::string> left = root.temporaryFiles();
        if (root.exists(e2e::kStreamImageCopy)) left.push_back(e2e::kStreamImageCopy);
        return left;
    }

    std::vector<e2e::LoggedCall> changes;
    size_t commitFirst = 0;
    size_t commitLast = 0;
};

// SIGTERM before the commit cancels the run; during the commit it is held until
// the commit ends. Either way the run exits 128 + 15, leaves no scratch file,
// and the tree is as before or as a whole run leaves it.
TEST_P(Interruption, StopRequestAtEveryChange) {
    // A commit from a manifest stopped before it starts keeps the manifest and
    // its staged files for the next one: the kill sweep covers it.
    if (scene().inside) GTEST_SKIP() << "the staged files stay for the next commit";
    if (!prepareChanges()) return;
    ASSERT_GT(commitFirst, 0u);
    std::vector<std::string> failures;
    for (size_t n = 1; n <= changes.size(); ++n) {
        testsupport::ProcessResult r = interruptedAt(n, "TERM");
        std::string after = outcome(root);
        std::string where = "SIGTERM before change " + std::to_string(n) + " (" +
                            changes[n - 1].operation + " " + changes[n - 1].path + "): ";
        if (r.status != kTermStatus)
            failures.push_back(where + testsupport::describe(r));
        else if (!scratch().empty())
            failures.push_back(where + "left " + scratch().front());
        else if (after != before && after != reference)
            failures.push_back(where + "half applied\n" + after);
        else if (n < commitFirst && after != before)
            failures.push_back(where + "applied although stopped before its commit");
    }
    reportFailures(failures, changes.size(), "stop requests");
}

// SIGKILL at any change, then a plain run: it reclaims every temporary file
// the killed run left, and a run killed outside its commit changed nothing or
// everything.
TEST_P(Interruption, KilledAtEveryChangeThenTheNextRunCleansUp) {
    if (!prepareChanges()) return;
    std::vector<std::string> failures;
    for (size_t n = 1; n <= changes.size(); ++n) {
        testsupport::ProcessResult r = interruptedAt(n, "KILL");
        std::string where = "SIGKILL before change " + std::to_string(n) + " (" +
                            changes[n - 1].operation + " " + changes[n - 1].path + "): ";
        if (r.status != kKillStatus) {
            failures.push_back(where + testsupport::describe(r));
            continue;
        }
        std::string killed = outcome(root);
        // A killed commit from a manifest is resumed by committing again.
        testsupport::ProcessResult next = scene().inside ? run({}) : root.run({}, "", {});
        std::string after = outcome(root);
        if (!scratch().empty())
            failures.push_back(where + "the next run left " + scratch().front());
        else if (n < commitFirst && killed != before)
            failures.push_back(where + "changed the tree before its commit");
        else if (n > commitLast && killed != reference)
            failures.push_back(where + "lost changes after its commit");
        else if (next.status != 0)
            failures.push_back(where + "the next run failed\n" + testsupport::describe(next));
        else if (scene().inside && after != reference)
            failures.push_back(where + "the resumed commit did not finish it\n" + after);
    }
    reportFailures(failures, changes.size(), "interruption points");
}

// The safe upgrade's own commit is the manifest, which the commit scene covers.
INSTANTIATE_TEST_SUITE_P(Scenes, Interruption, ::testing::Values<size_t>(0, 1, 2, 4),
                         sceneName);

// A console that is closed from the start, or goes away after any number of
// bytes, changes nothing of what the run does.
TEST(Console, ClosedOrGoneConsoleChangesNothing) {
    RouterRoot root;
    installedBase(root);
    unlink(root.at("/flash/postlog").c_str());
    auto next = package("alpha", v(2), {e2e::file("opt/alpha/README", "alpha 2\n")});
    next.imagePart = std::string("ALPHA IMAGE");
    const std::string bytes = e2e::signedPackage(next);
    e2e::SavedTree saved(root);
    testsupport::ProcessResult whole = root.install(bytes);
    ASSERT_EQ(whole.status, 0) << testsupport::describe(whole);
    const std::string reference = outcome(root);
    EXPECT_EQ(root.read("/flash/var/pdb/alpha/image"), bytes);

    std::vector<size_t> limits = {0};
    for (size_t k = 1; k < whole.out.size(); k += 1 + whole.out.size() / 40) limits.push_back(k);
    for (size_t limit : limits) {
        saved.restoreInto(root);
        testsupport::ProcessOptions options;
        options.input = bytes;
        options.outputLimit = limit;
        options.closeOutput = limit == 0;
        testsupport::ProcessResult r =
            testsupport::runProgram(INSTALLER_BINARY, {"-r", root.path(), "-"}, options);
        EXPECT_EQ(r.status, 0) << "console gone after " << limit << " bytes";
        EXPECT_EQ(outcome(root), reference) << "console gone after " << limit << " bytes";
        // Nothing of the console may land in the stored package.
        EXPECT_EQ(root.read("/flash/var/pdb/alpha/image"), bytes) << limit;
    }
}

// A run that finds another one holding the flash refuses and changes nothing;
// the other one completes as if alone.
TEST(OneRunAtATime, ASecondRunRefuses) {
    RouterRoot root;
    twoUploads(root);
    unlink(root.at("/flash/postlog").c_str());
    e2e::SavedTree saved(root);
    testsupport::ProcessResult alone = root.run({});
    ASSERT_EQ(alone.status, 0) << testsupport::describe(alone);
    const std::string upgraded = outcome(root);
    saved.restoreInto(root);

    // The upgrade run stops itself at its first change, holding the lock.
    pid_t first = fork();
    if (first == 0) {
        root.run({}, std::string(),
                        e2e::withPreload({}, FAULT_PRELOAD,
                                         {{"INTERRUPT_AT", "1"}, {"INTERRUPT_SIGNAL", "STOP"}}));
        _exit(0);
    }
    for (int i = 0; i < 500 && !root.exists("/ram/installer.lock"); ++i) usleep(10000);
    usleep(100000);
    testsupport::ProcessResult second = root.install(alphaTwo());
    EXPECT_EQ(second.status, 1) << testsupport::describe(second);
    EXPECT_EQ(second.out, "ERROR: another installer run is in progress\n");
    // Let the first run go on: its child is the installer, stopped.
    std::string children = "/proc/" + std::to_string(first) + "/task/" + std::to_string(first) +
                           "/children";
    std::istringstream pids(testsupport::readFile(children));
    for (pid_t pid; pids >> pid;) kill(pid, SIGCONT);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_EQ(outcome(root), upgraded);
    EXPECT_TRUE(root.temporaryFiles().empty());
}

}  // namespace
