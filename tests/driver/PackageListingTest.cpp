#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "driver/PackageListing.h"
#include "model/InstallContext.h"

namespace {

// Columns are right-aligned: each item is preceded by enough spaces to fill its
// field, and a longer item is written whole.
std::string field(const std::string& item, size_t width) {
    return item.size() < width ? std::string(width - item.size(), ' ') + item : item;
}

const std::string kHeader = std::string(12, ' ') + "Name" + "    " + std::string(6, ' ') +
                            "Version" + " " + std::string(15, ' ') + "Built" +
                            std::string(36, ' ') + "Note\n";
const std::string kRule = std::string(94, '-') + "\n";

std::string listingOf(InstallContext& context) {
    std::ostringstream console;
    context.console.setOutput(console);
    listPackages(context);
    return console.str();
}

TEST(PackageListing, EmptyListPrintsHeaderAndRuleOnly) {
    InstallContext context;
    EXPECT_EQ(listingOf(context), kHeader + kRule);
}

TEST(PackageListing, RowsFollowLoadOrderWithMarksAndUtcTimes) {
    InstallContext context;
    auto both = std::make_unique<PackageRecord>("routing");
    both->disabled = true;
    both->bundle.name = "system";
    both->version = makeVersion(6, 2, kStageFinal, 0);
    both->buildTime = 0;
    std::string longNote(45, 'n');
    both->note = longNote;
    context.append(std::move(both));

    auto plain = std::make_unique<PackageRecord>("a-very-long-package-name");
    plain->version = makeVersion(3, 20, kStageReleaseCandidate, 2);
    plain->buildTime = 1700000000;  // 2023-11-14 22:13:20 UTC
    plain->note = "short";
    context.append(std::move(plain));

    std::string rowBoth = field("routing", 16) + " X" + "B " + field("6.2", 13) + " " +
                          "Jan/01/1970 00:00:00" + " " + longNote + "\n";
    std::string rowPlain = std::string("a-very-long-package-name") + "  " + "  " +
                           field("3.20rc2", 13) + " " + "Nov/14/2023 22:13:20" + " " +
                           field("short", 40) + "\n";
    EXPECT_EQ(listingOf(context), kHeader + kRule + rowBoth + rowPlain);
}

TEST(PackageListing, LatestRepresentableBuildTime) {
    InstallContext context;
    auto record = std::make_unique<PackageRecord>("x");
    record->buildTime = 0xFFFFFFFFu;  // 2106-02-07 06:28:15 UTC
    context.append(std::move(record));
    std::string listing = listingOf(context);
    EXPECT_NE(listing.find(" Feb/07/2106 06:28:15 "), std::string::npos) << listing;
}

}  // namespace
