#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "e2e/RouterRoot.h"

namespace {

using e2e::kUploads;
using e2e::RouterRoot;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// The listing of everything below /flash except the post-log.
std::string flashListing(const RouterRoot& root) {
    std::string kept;
    for (const std::string& line : lines(e2e::listingWithoutScratch(root)))
        if (line.rfind("/flash", 0) == 0) kept += line + "\n";
    return kept;
}

struct Uploads {
    std::string next;
    std::string image;
};

// Signatures differ from one signing to the next: sign once, upload everywhere.
const Uploads& uploads() {
    static const Uploads built = [] {
        // The new version no longer carries the old README.
        auto next = e2e::simplePackage("a", kV2);
        next.files = {e2e::file("bin/a", "new tool\n", 0755)};
        auto image = e2e::simplePackage("kern", kV1);
        image.imagePart = std::string(2000, 'I');
        return Uploads{e2e::signedPackage(next), e2e::signedPackage(image)};
    }();
    return built;
}

// Two roots with the same installed system and the same uploads.
void prepare(const RouterRoot& root) {
    e2e::prepareUpgradeRoot(root);
    e2e::addInstalledEntry(root, "a", kV1);
    e2e::addInstalledEntry(root, "keep", kV1);
    e2e::upload(root, kUploads, "a.npk", uploads().next);
    e2e::upload(root, kUploads, "kern.npk", uploads().image);
}

class SafeUpgrade : public ::testing::Test {
protected:
    void SetUp() override {
        prepare(root);
        before = flashListing(root);
        result = root.run({"--safe"});
    }

    RouterRoot root;
    std::string before;
    testsupport::ProcessResult result;
};

TEST_F(SafeUpgrade, ManifestHoldsTheMarkerAmongTheStagedEntriesAndFlashIsUntouched) {
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("installed a-2.0\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("installed kern-1.0\n"), std::string::npos) << result.out;
    EXPECT_EQ(flashListing(root), before);
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));

    std::vector<std::string> manifest = lines(root.read("/ram/MANIFEST"));
    ASSERT_FALSE(manifest.empty());
    const std::regex staged("M (/\\S+) (/(flash|ram)/tmp[A-Za-z0-9]{6})");
    const std::regex other("(U /\\S+)|(L /\\S+ /\\S+)|(M /\\S+ /\\S+)");
    std::string previousTarget;
    bool marker = false;
    for (const std::string& line : manifest) {
        EXPECT_TRUE(std::regex_match(line, other)) << line;
        std::string target = line.substr(2, line.find(' ', 2) - 2);
        EXPECT_LT(previousTarget, target) << "entries in path order";
        previousTarget = target;
        std::smatch m;
        if (!std::regex_match(line, m, staged)) continue;
        // Every staged file is already written, waiting under its temporary name.
        EXPECT_TRUE(root.exists(m[2])) << line;
        if (m[1] == "/flash/PCKGS_CHANGED") {
            marker = true;
            EXPECT_EQ(root.read(m[2]), "");
        }
    }
    EXPECT_TRUE(marker) << root.read("/ram/MANIFEST");
    const std::string expected[] = {
        "U /flash/opt/a/README",
        "M /flash/var/pdb/kern/image /flash/rw/pckg/kern.npk",
    };
    for (const std::string& line : expected)
        EXPECT_NE(std::find(manifest.begin(), manifest.end(), line), manifest.end()) << line;
}

TEST_F(SafeUpgrade, CommitAppliesWhatADirectUpgradeWouldHaveDone) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    ASSERT_EQ(result.status, 0) << result.out;
    auto committed = root.runInside({"--commit"});
    EXPECT_EQ(committed.status, 0) << committed.out << committed.err;
    EXPECT_EQ(committed.out.rfind("finishing install... ", 0), 0u) << committed.out;
    EXPECT_EQ(committed.out.substr(committed.out.size() - 3), "\b \n");
    EXPECT_EQ(committed.err, "");
    EXPECT_TRUE(root.exists("/ram/MANIFEST"));
    EXPECT_EQ(root.read("/flash/PCKGS_CHANGED"), "");
    EXPECT_EQ(root.read("/flash/bin/a"), "new tool\n");
    EXPECT_FALSE(root.exists("/flash/opt/a/README"));

    RouterRoot direct;
    prepare(direct);
    auto directResult = direct.run({});
    ASSERT_EQ(directResult.status, 0) << directResult.out;
    EXPECT_EQ(flashListing(root), flashListing(direct));
    EXPECT_TRUE(root.temporaryFiles().empty()) << root.listing();
}

TEST_F(SafeUpgrade, CancelDropsTheManifestAndChangesNothing) {
    SKIP_WITHOUT_STATIC_INSTALLER();
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(root.temporaryFiles().empty()) << "the saved transaction has staged files";
    auto cancelled = root.runInside({"--cancel"});
    EXPECT_EQ(cancelled.status, 0) << cancelled.out << cancelled.err;
    EXPECT_EQ(cancelled.out, "");
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    EXPECT_EQ(flashListing(root), before);
    // The staged temporary files go with the manifest, and their record too.
    EXPECT_EQ(root.temporaryFiles(), std::vector<std::string>());
    // Once cancelled there is nothing left to commit.
    auto committed = root.runInside({"--commit"});
    EXPECT_EQ(committed.status, 0);
    EXPECT_EQ(flashListing(root), before);
}

TEST(SafeUpgradeWithoutChanges, WritesNoManifest) {
    RouterRoot root;
    e2e::prepareUpgradeRoot(root);
    e2e::addInstalledEntry(root, "a", kV1);
    auto result = root.run({"--safe"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
}

}  // namespace
