// The dependency walk of the planner ends on rings of bundle references.
#include <gtest/gtest.h>

#include <sstream>

#include "PackageSetText.h"
#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"

namespace {

TEST(DependencyWalk, RingOfBundleReferencesEnds) {
    InstallContext context;
    std::ostringstream console;
    context.console.setOutput(console);
    plantest::addPackages(context,
                          "base 1.0\n"
                          "a 1.0 bundle disabled enable in=b\n"
                          "b 1.0 bundle disabled enable in=a\n");
    std::vector<PackageRecord*> removal, enable;
    ASSERT_TRUE(planChanges(context, removal, enable, true));
    EXPECT_EQ(plantest::pendingText(context), "a=enable b=enable");
}

}  // namespace
