// Damaged input, end to end: a small package and a small bundle, cut short at
// every byte offset and with every byte in turn altered, are given to the built
// installer on standard input ("-") and as an uploaded file (default upgrade
// run). Each run must either install exactly what the intact input installs
// (the damage hit a byte the format does not look at) or leave the router's
// directories exactly as they were (post-log aside): refused with a nonzero
// status on standard input, a cancelled transaction with status 0 in the upgrade
// run. No run may crash, hang, print on standard error or leave a temporary file.
//
// One kind of damage is judged differently: a bundle's own parts (its header,
// before the first member) are covered by no signature, so altered they
// describe another bundle, or no bundle at all but its first member; such a run
// only has to end cleanly. A bundle stream cut at a member's start is refused
// like any other cut, since it ends before the length its file header declares.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "e2e/FaultHarness.h"
#include "platform/ByteOrder.h"

namespace {

using e2e::RouterRoot;

constexpr int kRunTimeoutSeconds = 10;
constexpr char kUploadPath[] = "/flash/rw/pckg/x.npk";
constexpr char kPostLogPath[] = "/flash/postlog";
// Statuses a failed install from standard input may end with: 1 for a single
// package, 1 to 3 for a multi-package stream.
constexpr int kHighestRefusalStatus = 3;
// Failures listed in full; the rest are only counted.
constexpr size_t kFailuresShown = 12;

enum class Route { StandardInput, Upload };

const char* routeName(Route route) {
    return route == Route::StandardInput ? "-" : "upload";
}

struct Damage {
    std::string description;
    std::string bytes;
    bool cut;       // otherwise one altered byte
    size_t offset;  // the length after a cut, the altered byte otherwise
};

// The damaged variants of input: each proper prefix (so also the empty input),
// and each byte replaced by its complement and, separately, by its successor.
// The complement turns length fields huge; the successor tests off-by-one
// handling of every count, length and bound. Under the sanitizers, where every
// run costs several times more, each offset gets one of the three kinds in turn
// (a cut, a complement, a successor), so every offset is still hit once.
std::vector<Damage> damagedVariants(const std::string& input, bool oneKindPerOffset) {
    constexpr size_t kKinds = 3;
    auto wanted = [&](size_t offset, size_t kind) {
        return !oneKindPerOffset || offset % kKinds == kind;
    };
    std::vector<Damage> variants;
    for (size_t offset = 0; offset < input.size(); ++offset) {
        if (wanted(offset, 0))
            variants.push_back({"cut to " + std::to_string(offset) + " bytes",
                                input.substr(0, offset), true, offset});
        if (wanted(offset, 1)) {
            std::string flipped = input;
            flipped[offset] = static_cast<char>(~static_cast<unsigned char>(input[offset]));
            variants.push_back(
                {"byte " + std::to_string(offset) + " complemented", flipped, false, offset});
        }
        if (wanted(offset, 2)) {
            std::string bumped = input;
            bumped[offset] = static_cast<char>(static_cast<unsigned char>(input[offset]) + 1);
            variants.push_back(
                {"byte " + std::to_string(offset) + " plus one", bumped, false, offset});
        }
    }
    return variants;
}

// A router root with an earlier version installed, saved once so that it can be
// put back quickly after a run that changed it.
class SweepRoot {
public:
    explicit SweepRoot(const std::string& earlierVersion) {
        for (const char* dir : {"/flash/boot", "/flash/rw/pckg"}) testsupport::makeDirs(root_.at(dir));
        testsupport::ProcessResult setup = run(Route::StandardInput, earlierVersion);
        setupOk_ = setup.status == 0 && setup.err.empty();
        setupReport_ = testsupport::describe(setup);
        unlink(root_.at(kPostLogPath).c_str());
        saved_ = std::make_unique<e2e::SavedTree>(root_);
        pristine_ = e2e::routerListing(root_);
    }

    bool setupOk() const { return setupOk_; }
    const std::string& setupReport() const { return setupReport_; }
    const RouterRoot& root() const { return root_; }
    const std::string& pristine() const { return pristine_; }

    testsupport::ProcessResult run(Route route, const std::string& input) const {
        if (route == Route::Upload) root_.write(kUploadPath, input);
        return root_.run(route == Route::StandardInput ? std::vector<std::string>{"-"}
                                                                    : std::vector<std::string>{},
                               route == Route::StandardInput ? input : "", {}, kRunTimeoutSeconds);
    }

    // The listing after a run, once the run's own traces that every run may
    // leave are gone: the uploaded file stays in the upload directory by design,
    // and the post-log is not compared.
    std::string listingAfter(Route route) const {
        if (route == Route::Upload) unlink(root_.at(kUploadPath).c_str());
        unlink(root_.at(kPostLogPath).c_str());
        return e2e::routerListing(root_);
    }

    void restore() const { saved_->restoreInto(root_); }

private:
    RouterRoot root_;
    std::unique_ptr<e2e::SavedTree> saved_;
    std::string pristine_;
    bool setupOk_ = false;
    std::string setupReport_;
};

// What the damaged variants of one input are judged against.
struct SweepInput {
    std::string what;
    std::string bytes;
    // Bytes [unsignedFrom, unsignedTo) belong to parts no signature covers: a
    // bundle's own parts. Empty for a single package.
    size_t unsignedFrom = 0;
    size_t unsignedTo = 0;
};

struct SweepTally {
    size_t runs = 0;
    size_t installedAsIntact = 0;
    size_t refused = 0;
    size_t installedOtherBundle = 0;  // unsigned bundle parts altered
    std::vector<std::string> failures;
};

std::string excerpt(const std::string& text) {
    return text.size() <= 300 ? text : text.substr(0, 300) + "...";
}

// Runs every damaged variant of the input by one route and judges the outcome.
SweepTally sweep(const SweepRoot& sweepRoot, Route route, const SweepInput& sweepInput) {
    SweepTally tally;
    const std::string& input = sweepInput.bytes;
    testsupport::ProcessResult intactRun = sweepRoot.run(route, input);
    std::string intact = sweepRoot.listingAfter(route);
    sweepRoot.restore();
    if (intactRun.status != 0 || intact == sweepRoot.pristine()) {
        tally.failures.push_back(std::string("the intact input did not install by ") +
                                 routeName(route) + ": status " + std::to_string(intactRun.status) +
                                 "\n" + intactRun.out);
        return tally;
    }
    for (const Damage& damage : damagedVariants(input, e2e::sanitizedBuild())) {
        testsupport::ProcessResult result = sweepRoot.run(route, damage.bytes);
        std::vector<std::string> temporaries = sweepRoot.root().temporaryFiles();
        std::string after = sweepRoot.listingAfter(route);
        ++tally.runs;

        std::string problem;
        bool unchanged = after == sweepRoot.pristine();
        bool installed = after == intact;
        if (result.timedOut)
            problem = "did not finish within " + std::to_string(kRunTimeoutSeconds) + " s";
        else if (!result.err.empty())
            problem = "wrote on standard error (status " + std::to_string(result.status) + ")";
        else if (!temporaries.empty())
            problem = "left the temporary file " + temporaries.front();
        else if (installed && result.status != 0)
            problem = "installed everything but ended with status " + std::to_string(result.status);
        else if (installed)
            ++tally.installedAsIntact;
        else if (!unchanged && !damage.cut && damage.offset >= sweepInput.unsignedFrom &&
                 damage.offset < sweepInput.unsignedTo && result.status == 0)
            ++tally.installedOtherBundle;
        else if (!unchanged)
            problem = "changed the router's directories partly (status " +
                      std::to_string(result.status) + ")";
        else if (route == Route::StandardInput &&
                 (result.status < 1 || result.status > kHighestRefusalStatus))
            problem = "changed nothing but ended with status " + std::to_string(result.status);
        else if (route == Route::Upload && result.status != 0)
            problem = "cancelled but ended with status " + std::to_string(result.status);
        else
            ++tally.refused;

        if (!problem.empty())
            tally.failures.push_back(std::string(routeName(route)) + ", " + damage.description +
                                     ": " + problem + "\nstdout: " + excerpt(result.out) +
                                     "\nstderr: " + excerpt(result.err));
        if (!unchanged) sweepRoot.restore();
    }
    return tally;
}

void expectSweepPasses(const SweepRoot& sweepRoot, const SweepInput& input) {
    const std::string& what = input.what;
    for (Route route : {Route::StandardInput, Route::Upload}) {
        SweepTally tally = sweep(sweepRoot, route, input);
        std::printf("%s (%zu bytes) by %s: %zu runs, %zu refused, %zu installed as intact, "
                    "%zu as another bundle\n",
                    what.c_str(), input.bytes.size(), routeName(route), tally.runs, tally.refused,
                    tally.installedAsIntact, tally.installedOtherBundle);
        for (size_t i = 0; i < tally.failures.size() && i < kFailuresShown; ++i)
            ADD_FAILURE() << what << ": " << tally.failures[i];
        EXPECT_EQ(tally.failures.size(), 0u) << what << " by " << routeName(route);
        // Most damage must be caught: installing as if intact is only for bytes
        // that nothing reads (padding, the file header's length field).
        EXPECT_GT(tally.refused, tally.runs / 2) << what << " by " << routeName(route);
    }
}

pkgwriter::PackageRecipe tinyPackage(const std::string& name, VersionNumber version,
                                     const std::string& content) {
    pkgwriter::PackageRecipe recipe = e2e::simplePackage(name, version);
    recipe.files = {e2e::file("opt/" + name, content)};
    return recipe;
}

TEST(DamagedInputSweep, SinglePackage) {
    // The earlier version has a file that the new one drops, so a half-applied
    // replacement shows in the listing.
    auto earlier = tinyPackage("tiny", makeVersion(1, 0, 'f', 0), "one\n");
    earlier.files.push_back(e2e::file("opt/gone", "old\n"));
    SweepRoot sweepRoot(e2e::signedPackage(earlier));
    ASSERT_TRUE(sweepRoot.setupOk()) << sweepRoot.setupReport();
    SweepInput input;
    input.what = "package";
    input.bytes = e2e::signedPackage(tinyPackage("tiny", makeVersion(1, 1, 'f', 0), "two\n"));
    expectSweepPasses(sweepRoot, input);
}

TEST(DamagedInputSweep, Bundle) {
    // The new bundle version updates one member, drops another and brings a new
    // one, so every kind of bundle change is at stake.
    pkgwriter::BundleRecipe earlier;
    earlier.name = "kit";
    earlier.version = makeVersion(1, 0, 'f', 0);
    earlier.buildTime = 1000;
    earlier.members = {tinyPackage("ka", makeVersion(1, 0, 'f', 0), "a1\n"),
                       tinyPackage("kb", makeVersion(1, 0, 'f', 0), "b1\n")};
    SweepRoot sweepRoot(e2e::signedBundle(earlier));
    ASSERT_TRUE(sweepRoot.setupOk()) << sweepRoot.setupReport();

    pkgwriter::BundleRecipe next = earlier;
    next.version = makeVersion(1, 1, 'f', 0);
    next.members = {tinyPackage("ka", makeVersion(1, 1, 'f', 0), "a2\n"),
                    tinyPackage("kc", makeVersion(1, 1, 'f', 0), "c1\n")};
    SweepInput input;
    input.what = "bundle";
    input.bytes = e2e::signedBundle(next);

    // The bundle's own parts run up to the first member's header part.
    input.unsignedFrom = input.unsignedTo = kFileHeaderSize;
    for (const pkgwriter::Part& part : e2e::splitParts(input.bytes)) {
        if (part.type == kPartHeader) break;
        input.unsignedTo += kPartHeaderSize + part.payload.size();
    }
    expectSweepPasses(sweepRoot, input);
}

}  // namespace
