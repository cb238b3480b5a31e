#include <gtest/gtest.h>

#include <sstream>

#include "driver/PackageListing.h"
#include "model/InstallContext.h"

// The last second 32 bits hold, in UTC: 2106 needs a 64-bit time_t everywhere.
TEST(PackageListing, LatestBuildTime) {
    InstallContext context;
    std::ostringstream console;
    context.console.setOutput(console);
    context.append(std::make_unique<PackageRecord>("x"))->buildTime = 0xFFFFFFFFu;
    listPackages(context);
    EXPECT_NE(console.str().find(" Feb/07/2106 06:28:15 "), std::string::npos) << console.str();
}
