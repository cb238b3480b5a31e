#include <gtest/gtest.h>

#include "platform/FlashProbes.h"
#include "support/Sandbox.h"

namespace {

TEST(FlashProbes, AbsentDevicesGiveNeutralAnswers) {
    testsupport::TempDir root;
    testsupport::makeDirs(root / "dev");
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           EXPECT_FALSE(isLargeEraseFlash());
                                           EXPECT_FALSE(flashVariantFlag());
                                       }),
              0);
}

// A plain file opens but refuses every request, as a device whose driver does
// not know the request would.
TEST(FlashProbes, RefusedRequests) {
    testsupport::TempDir root;
    testsupport::writeFile(root / "dev/mtd0", std::string(64, '\xff'));
    testsupport::writeFile(root / "dev/flash", "");
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           EXPECT_FALSE(isLargeEraseFlash())
                                               << "a failed MEMGETINFO is no large erase block";
                                           EXPECT_TRUE(flashVariantFlag())
                                               << "the -1 of a failed request has bit 16 set";
                                       }),
              0);
}

}  // namespace
