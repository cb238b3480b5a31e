#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "model/Console.h"
#include "model/PackageRecord.h"
#include "model/VersionNumber.h"

namespace {

std::unique_ptr<PackageInfo> package(const std::string& name, VersionNumber v, uint32_t built) {
    auto p = std::make_unique<PackageInfo>(name);
    p->version = v;
    p->buildTime = built;
    return p;
}

TEST(VersionNumber, ComparisonTable) {
    // a's version and build time, b's, and a compared with b: version first, then
    // build time. A bundle compares through its member of that name, either side.
    const std::tuple<VersionNumber, uint32_t, VersionNumber, uint32_t, int> cases[] = {
        {makeVersion(6, 2, 'f', 0), 0, makeVersion(6, 2, 'c', 9), 9, 1},
        {makeVersion(6, 2, 'c', 1), 0, makeVersion(6, 2, 'b', 9), 0, 1},
        {makeVersion(6, 2, 'b', 1), 0, makeVersion(6, 2, 'a', 200), 0, 1},
        {makeVersion(6, 2, 'f', 1), 0, makeVersion(6, 2, 'f', 0), 5, 1},
        {makeVersion(6, 10, 'a', 0), 0, makeVersion(6, 9, 'f', 9), 0, 1},
        {makeVersion(7, 0, 'a', 0), 0, makeVersion(6, 255, 'f', 255), 0, 1},
        {makeVersion(6, 2, 'f', 0), 11, makeVersion(6, 2, 'f', 0), 10, 1},
        {makeVersion(6, 2, 'f', 0), 10, makeVersion(6, 2, 'f', 0), 10, 0},
    };
    for (const auto& [versionA, builtA, versionB, builtB, expected] : cases) {
        const auto a = package("x", versionA, builtA), b = package("x", versionB, builtB);
        PackageInfo bundle("bundle");
        bundle.isBundle = true;
        bundle.members.push_back(package("other", versionB, builtB));
        bundle.members.push_back(package("x", versionA, builtA));
        EXPECT_EQ(compareVersions(*a, *b), expected) << std::hex << versionA << " " << versionB;
        EXPECT_EQ(compareVersions(*b, *a), -expected);
        EXPECT_EQ(compareVersions(bundle, *b), expected);
        EXPECT_EQ(compareVersions(*b, bundle), -expected);
    }
    EXPECT_EQ(compareVersions(*package("x", 2, 0), *package("y", 1, 0)), 0) << "unrelated";
}

class ConsoleTest : public ::testing::Test {
protected:
    ConsoleTest() { console.setOutput(out); }
    std::string take() {
        const std::string written = out.str();
        out.str("");
        return written;
    }
    Console console;
    std::ostringstream out;
};

TEST_F(ConsoleTest, MessagesAreCutAt255FormattedCharacters) {
    console.reportError("%s%d", std::string(254, 'x').c_str(), 123);  // the prefix not counted
    EXPECT_EQ(take(), "ERROR: " + std::string(254, 'x') + "1\n");
    EXPECT_EQ(console.messages, std::vector<std::string>{"ERROR: " + std::string(254, 'x') + "1"});
}

TEST_F(ConsoleTest, WarningKeepsTheBarBelowTheMessageAndErrorsEraseIt) {
    console.showProgress("installing a-1.0", 0, 100);
    const std::string bar = console.status;
    take();
    console.reportWarning("omitting package %s: %d", "x", 7);
    // The bar's line is blanked for the message, and the bar drawn again below.
    EXPECT_EQ(take(), "\r" + std::string(79, ' ') + "\rWARNING: omitting package x: 7\n" + bar);
    EXPECT_EQ(console.status, bar);
    console.reportError("failed");
    EXPECT_EQ(console.status, "");
    EXPECT_EQ(take(), "\x1b[?25l\r" + std::string(77, ' ') + "\r\x1b[?25hERROR: failed\n");
}

TEST_F(ConsoleTest, QuietWritesAndCollectsNothing) {
    console.quiet = true;
    console.showProgress("installing a-1.0", 5, 10);
    console.reportWarning("w");
    console.reportError("e");
    EXPECT_EQ(take(), "");
    EXPECT_TRUE(console.messages.empty());
    EXPECT_EQ(console.status, "");
}

}  // namespace
