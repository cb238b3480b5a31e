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

#include <functional>
#include <regex>
#include <sstream>

#include "e2e/FaultHarness.h"

namespace {

using e2e::Environment;
using e2e::RouterRoot;

const char* const kKinds[] = {"write", "read",  "open",   "rename",
                              "fsync", "mkdir", "unlink", "symlink"};
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
    ASSERT_EQ(r.status, 0) << e2e::report(r);
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

void twoUploads(const RouterRoot& root) {
    installedBase(root);
    e2e::upload(root, e2e::kUploads, "alpha.npk", alphaTwo());
    e2e::upload(root, e2e::kUploads, "gamma.npk",
                e2e::signedPackage(package("gamma", v(1), {e2e::file("opt/gamma", "gamma\n")})));
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
    {"upgrade run", twoUploads, {}, [] { return std::string(); }, {}, false},
    {"safe upgrade", twoUploads, {"--safe"}, [] { return std::string(); }, {}, false},
    {"commit",
     [](const RouterRoot& root) {
         twoUploads(root);
         testsupport::ProcessResult r = root.run({"--safe"});
         ASSERT_EQ(r.status, 0) << e2e::report(r);
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
    return std::regex_replace(root.read("/ram/MANIFEST"), std::regex("tmp[A-Za-z0-9]{6}"), "tmp*");
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
        return e2e::runOutside(root, s.args, input, env);
    }
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
            return where + "crashed\n" + e2e::report(r);
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
            return where + "the repeated commit did not finish it\n" + e2e::report(again);
        return std::string();
    }

    RouterRoot root;
    testsupport::TempDir logDir;
    std::unique_ptr<e2e::SavedTree> saved;
    std::string input;
    std::string before;
    std::string reference;
};

TEST_P(FaultSweep, EveryCallOfEveryKindMayFail) {
    const Scene& s = scene();
    if (s.inside) {
        std::string why;
        if (!e2e::installDynamicInstaller(root, {FAULT_PRELOAD}, &why)) GTEST_SKIP() << why;
    }
    s.prepare(root);
    if (HasFatalFailure()) return;
    unlink(root.at("/flash/postlog").c_str());
    input = s.input();
    saved = std::make_unique<e2e::SavedTree>(root);
    before = outcome(root);
    testsupport::ProcessResult whole = run({});
    ASSERT_EQ(whole.status, 0) << e2e::report(whole);
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
    for (size_t i = 0; i < failures.size() && i < 5; ++i) ADD_FAILURE() << failures[i];
    EXPECT_EQ(failures.size(), 0u) << "of " << runs << " faulted runs";
    std::printf("%s: %zu faulted runs\n", s.name, runs);
}

INSTANTIATE_TEST_SUITE_P(Scenes, FaultSweep, ::testing::Range<size_t>(0, std::size(kScenes)),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name = kScenes[info.param].name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
