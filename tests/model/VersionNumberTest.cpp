#include <gtest/gtest.h>

#include "model/PackageRecord.h"
#include "model/VersionNumber.h"

namespace {

TEST(FormatVersion, WorkedExamples) {
    EXPECT_EQ(formatVersion(0x06026600), "6.2");
    EXPECT_EQ(formatVersion(0x06026601), "6.2.1");
    EXPECT_EQ(formatVersion(0x06026205), "6.2beta5");
    EXPECT_EQ(formatVersion(0x03146302), "3.20rc2");
    EXPECT_EQ(formatVersion(0x05006100), "5.0alpha");
    EXPECT_EQ(formatVersion(0x01020003), "1.23");
    EXPECT_EQ(formatVersion(0x01020000), "1.2");
    EXPECT_EQ(formatVersion(0x00000000), "0.0");
    EXPECT_EQ(formatVersion(0xFFFFFFFF), "255.255255");
}

TEST(VersionOrdering, StagesRiseTowardsFinal) {
    EXPECT_GT(makeVersion(6, 2, 'f', 0), makeVersion(6, 2, 'c', 9));
    EXPECT_GT(makeVersion(6, 2, 'c', 1), makeVersion(6, 2, 'b', 9));
    EXPECT_GT(makeVersion(6, 2, 'b', 1), makeVersion(6, 2, 'a', 200));
    EXPECT_EQ(makeVersion(3, 20, 'c', 2) - 1, makeVersion(3, 20, 'c', 1));
}

PackageRecord record(const std::string& name, VersionNumber v, uint32_t built = 0) {
    PackageRecord r(name);
    r.version = v;
    r.buildTime = built;
    return r;
}

TEST(PackageRanges, Satisfies) {
    PackageRange any{"x", 0, 0, 0};
    EXPECT_TRUE(satisfies(record("x", 0), any));
    EXPECT_FALSE(satisfies(record("X", 0), any)) << "names are case-sensitive";
    PackageRange fromSix{"x", makeVersion(6, 0, 0, 0), 0, 0};
    EXPECT_FALSE(satisfies(record("x", makeVersion(5, 26, 'f', 0)), fromSix));
    EXPECT_TRUE(satisfies(record("x", makeVersion(6, 0, 'a', 0)), fromSix));
    PackageRange upTo{"x", 0, makeVersion(6, 2, 'f', 0), 0};
    EXPECT_TRUE(satisfies(record("x", makeVersion(6, 2, 'f', 0)), upTo));
    EXPECT_FALSE(satisfies(record("x", makeVersion(6, 2, 'f', 1)), upTo));
}

TEST(PackageRanges, Overlap) {
    PackageRange a{"x", makeVersion(5, 0, 'f', 0), makeVersion(5, 9, 'f', 0), 0};
    PackageRange b{"x", makeVersion(6, 0, 'f', 0), 0, 0};
    EXPECT_FALSE(rangesOverlap(a, b));
    EXPECT_FALSE(rangesOverlap(b, a));
    PackageRange any{"x", 0, 0, 0};
    PackageRange exact{"x", makeVersion(6, 0, 'f', 0), makeVersion(6, 0, 'f', 0), 0};
    EXPECT_TRUE(rangesOverlap(any, exact));
    EXPECT_TRUE(rangesOverlap(exact, any));
    PackageRange other{"y", 0, 0, 0};
    EXPECT_FALSE(rangesOverlap(any, other));
    PackageRecord p = record("p", 1);
    p.provides.push_back(exact);
    EXPECT_TRUE(providesRange(p, b));
    EXPECT_FALSE(providesRange(p, a));
}

TEST(RangeText, MinOnly) {
    EXPECT_EQ(rangeText({"sys", 0, 0, 0}), "sys");
    EXPECT_EQ(rangeText({"sys", 0x06026600, 0x07000000, 0}), "sys-6.2");
    EXPECT_EQ(nameWithVersion(record("a", 0x03146302)), "a-3.20rc2");
}

TEST(CompareVersions, SameNameByVersionThenBuildTime) {
    EXPECT_EQ(compareVersions(record("a", 5, 10), record("a", 5, 10)), 0);
    EXPECT_EQ(compareVersions(record("a", 5, 11), record("a", 5, 10)), 1);
    EXPECT_EQ(compareVersions(record("a", 5, 99), record("a", 6, 10)), -1);
    EXPECT_EQ(compareVersions(record("a", 6), record("b", 5)), 0);
    EXPECT_EQ(compareForChoice(record("a", 6), record("a", 5), true), -1);
}

TEST(CompareVersions, ThroughBundleMembers) {
    PackageInfo bundle("b");
    bundle.version = makeVersion(1, 0, 'f', 0);
    bundle.isBundle = true;
    auto member = std::make_unique<PackageInfo>("m");
    member->version = makeVersion(2, 0, 'f', 0);
    bundle.members.push_back(std::move(member));
    PackageRecord single = record("m", makeVersion(1, 9, 'f', 0));
    EXPECT_EQ(compareVersions(bundle, single), 1);
    EXPECT_EQ(compareVersions(single, bundle), -1);
    EXPECT_EQ(compareVersions(bundle, record("z", 1)), 0);
}

TEST(PackageRecords, FreshRecordIsEmpty) {
    PackageRecord r("x");
    EXPECT_EQ(r.name, "x");
    EXPECT_EQ(r.version, 0u);
    EXPECT_EQ(r.buildTime, 0u);
    EXPECT_TRUE(r.architecture.empty());
    EXPECT_TRUE(r.files.empty());
    EXPECT_FALSE(r.disabled);
    EXPECT_FALSE(r.userForced);
    EXPECT_EQ(r.pendingAction, kActionNone);
    EXPECT_FALSE(isPlaceholder(r));
    r.version = r.buildTime = 0xFFFFFFFF;
    EXPECT_TRUE(isPlaceholder(r));
}

// Members are destroyed with their owner: a member's destructor runs when the
// bundle goes.
TEST(PackageRecords, MembersDestroyedWithOwner) {
    static int destroyed = 0;
    struct Counted : PackageInfo {
        ~Counted() override { ++destroyed; }
    };
    {
        auto bundle = std::make_unique<PackageRecord>("b");
        bundle->members.push_back(std::make_unique<Counted>());
        bundle->members.push_back(std::make_unique<Counted>());
        std::unique_ptr<PackageInfo> asBase = std::move(bundle);
    }
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
