// checkInstall: its result bits, and exactly one message per call in each case.
#include <gtest/gtest.h>

#include <sstream>

#include "PackageSetText.h"
#include "model/InstallContext.h"
#include "planning/Eligibility.h"

namespace {

using plantest::makeRecord;

VersionNumber noMinimum() {
    return 0;
}
VersionNumber minimum62() {
    return makeVersion(6, 2, 'f', 0);
}

class CheckInstall : public ::testing::Test {
protected:
    CheckInstall() {
        context.console.setOutput(console);
        context.architecture = "mipsbe";
        setMinSystemVersionQuery(noMinimum);
    }
    ~CheckInstall() override { setMinSystemVersionQuery(nullptr); }

    // Runs the check and returns its result; the messages it printed are in
    // printed (console bytes must match them exactly).
    CheckResult check(const std::string& line, bool inBundle = false,
                      InstallFlags flags = kAllowUpgrade, bool* same = nullptr) {
        size_t before = context.console.messages.size();
        std::string consoleBefore = console.str();
        auto package = makeRecord(line);
        CheckResult result = checkInstall(context, *package, inBundle, flags, same);
        printed.assign(context.console.messages.begin() + static_cast<std::ptrdiff_t>(before),
                       context.console.messages.end());
        std::string expectedConsole = consoleBefore;
        for (const std::string& m : printed) expectedConsole += m + "\n";
        EXPECT_EQ(console.str(), expectedConsole);
        return result;
    }
    std::string only() const {
        EXPECT_EQ(printed.size(), 1u);
        return printed.empty() ? std::string() : printed[0];
    }

    InstallContext context;
    std::ostringstream console;
    std::vector<std::string> printed;
};

TEST_F(CheckInstall, NotInstalledAndUnopposedIsZero) {
    plantest::addPackages(context, "base 1.0\n");
    EXPECT_EQ(check("tool 1.0 deps=base arch=mipsbe"), CheckResult());
    EXPECT_TRUE(printed.empty());
}

TEST_F(CheckInstall, AgainstTheInstalledPackageOfTheSameName) {
    plantest::addPackages(context, "tool 2.0 built=50\nmember 1.0 in=suite\n");
    EXPECT_EQ(check("tool 3.0"), kCheckUpgrade);
    EXPECT_TRUE(printed.empty());

    EXPECT_EQ(check("tool 1.0"), kCheckDowngrade);
    EXPECT_EQ(only(),
              "WARNING: omitting package tool-1.0: newer package tool-2.0 is already installed");
    EXPECT_EQ(check("tool 1.0", false, kAllowUpgrade | kAllowDowngrade), kCheckDowngrade);
    EXPECT_TRUE(printed.empty());
    EXPECT_EQ(check("tool 2.0 built=49"), kCheckDowngrade) << "same version, older build";

    bool same = false;
    EXPECT_EQ(check("tool 2.0 built=50", false, kAllowUpgrade, &same), CheckResult());
    EXPECT_EQ(only(), "WARNING: omitting package tool-2.0: it is already installed");
    EXPECT_TRUE(same);

    EXPECT_EQ(check("tool 2.0 built=50", true, kAllowUpgrade, &same), kCheckReinstall);
    EXPECT_TRUE(printed.empty());
    EXPECT_FALSE(same);
    EXPECT_EQ(check("member 1.0", false, kAllowUpgrade, &same), kCheckReinstall);
    EXPECT_FALSE(same);
    EXPECT_EQ(check("member 1.0", true, kAllowUpgrade, &same), CheckResult());
    EXPECT_TRUE(same);
    EXPECT_EQ(only(), "WARNING: omitting package member-1.0: it is already installed");
}

TEST_F(CheckInstall, ArchitectureMustMatchUnlessEmpty) {
    EXPECT_EQ(check("tool 1.0"), CheckResult());
    EXPECT_EQ(check("tool 1.0 arch=mipsbe"), CheckResult());
    EXPECT_EQ(check("tool 1.0 arch=powerpc"), kCheckBlocked);
    EXPECT_EQ(only(),
              "ERROR: can not install tool-1.0: it is not made for mipsbe, but for powerpc");
}

TEST_F(CheckInstall, DependenciesMetByProvidersButNotByDisabledPackages) {
    plantest::addPackages(context,
                          "server 1.0 provides=http>=2.0\n"
                          "oldlib 1.0 disabled\n"
                          "holder 1.0 placeholder provides=ghost\n");
    EXPECT_EQ(check("app 1.0 deps=http"), CheckResult());
    EXPECT_EQ(check("app 1.0 deps=http>=2.1"), CheckResult())
        << "the provided range reaches up unbounded";
    EXPECT_EQ(check("app 1.0 deps=oldlib"), kCheckBlocked);
    EXPECT_EQ(only(), "ERROR: can not install app-1.0: oldlib is not installed, but is required");
    EXPECT_EQ(check("app 1.0 deps=ghost"), kCheckBlocked) << "placeholders provide nothing";
    EXPECT_EQ(only(), "ERROR: can not install app-1.0: ghost is not installed, but is required");
}

TEST_F(CheckInstall, OnlyTheFirstMissingDependencyIsReported) {
    EXPECT_EQ(check("app 1.0 deps=a>=2.0,b"), kCheckBlocked);
    EXPECT_EQ(only(), "ERROR: can not install app-1.0: a-2.0 is not installed, but is required");
}

TEST_F(CheckInstall, OneMessagePerCall) {
    plantest::addPackages(context, "tool 2.0\nguard 1.0 conflicts=tool\n");
    // Downgrade warning, then architecture, dependency and conflict all fail.
    EXPECT_EQ(check("tool 1.0 arch=powerpc deps=missing"),
              kCheckDowngrade | kCheckBlocked | kCheckConflict);
    EXPECT_EQ(only(),
              "WARNING: omitting package tool-1.0: newer package tool-2.0 is already installed");
    // The architecture error silences the dependency error and the conflict.
    EXPECT_EQ(check("tool 3.0 arch=powerpc deps=missing"),
              kCheckUpgrade | kCheckBlocked | kCheckConflict);
    EXPECT_EQ(only(),
              "ERROR: can not install tool-3.0: it is not made for mipsbe, but for powerpc");
    EXPECT_EQ(check("tool 3.0 deps=missing"), kCheckUpgrade | kCheckBlocked | kCheckConflict);
    EXPECT_EQ(only(), "ERROR: can not install tool-3.0: missing is not installed, but is required");
    EXPECT_EQ(check("tool 3.0"), kCheckUpgrade | kCheckConflict);
    EXPECT_EQ(only(), "ERROR: can not install tool-3.0: it conflicts with guard-1.0");
}

TEST_F(CheckInstall, QuietFlagsSilenceTheirChecksOnly) {
    plantest::addPackages(context, "guard 1.0 conflicts=tool\n");
    EXPECT_EQ(check("tool 1.0 arch=powerpc deps=missing", false, kAllowUpgrade | kQuietChecks),
              kCheckBlocked | kCheckConflict);
    EXPECT_EQ(only(), "ERROR: can not install tool-1.0: it conflicts with guard-1.0")
        << "nothing was printed before, so the conflict is reported";
    EXPECT_EQ(check("tool 1.0", false, kAllowUpgrade | kQuietConflicts), kCheckConflict);
    EXPECT_TRUE(printed.empty());
}

TEST_F(CheckInstall, ConflictOnlyFromEnabledPackages) {
    plantest::addPackages(context,
                          "off 1.0 disabled conflicts=tool\n"
                          "tool 1.0 provides=cap@1\n"
                          "rival 1.0 provides=cap@5\n");
    EXPECT_EQ(check("tool 2.0 provides=cap@1"), kCheckUpgrade | kCheckConflict);
    EXPECT_EQ(only(), "ERROR: can not install tool-2.0: it conflicts with rival-1.0");
    EXPECT_EQ(check("tool 2.0 provides=cap@5"), kCheckUpgrade);
}

TEST_F(CheckInstall, SystemPackagesBelowTheBoardMinimum) {
    setMinSystemVersionQuery(minimum62);
    EXPECT_EQ(check("system 6.1"), kCheckBlocked);
    EXPECT_EQ(only(), "ERROR: omitting package system-6.1: min Tarnix version is 6.2");
    EXPECT_EQ(check("tarnixcore 6.1"), kCheckBlocked) << "tarnix followed by more letters";
    EXPECT_EQ(check("tarnix 6.1"), kCheckBlocked);
    EXPECT_EQ(check("mytarnix 6.1"), CheckResult()) << "not a system package";
    EXPECT_EQ(check("Tarnix 6.1"), CheckResult()) << "names are case-sensitive";
    EXPECT_EQ(check("systems 6.1"), CheckResult());
    EXPECT_EQ(check("system 6.2"), CheckResult());
    EXPECT_EQ(check("system 6.1", false, kAllowUpgrade | kQuietChecks), kCheckBlocked);
    EXPECT_TRUE(printed.empty());
    EXPECT_FALSE(checkSystemPackage(context, *makeRecord("system 6.1"), false));
    EXPECT_TRUE(printed.empty());

    plantest::addPackages(context, "option 1.0\n");
    EXPECT_EQ(check("system 6.1"), CheckResult())
        << "an installed option package lifts the minimum";
    EXPECT_TRUE(printed.empty());
}

TEST_F(CheckInstall, SystemPackageCheckKeepsFollowingChecksQuiet) {
    setMinSystemVersionQuery(minimum62);
    EXPECT_EQ(check("tarnixcore 6.1 arch=powerpc"), kCheckBlocked);
    EXPECT_EQ(only(), "ERROR: omitting package tarnixcore-6.1: min Tarnix version is 6.2");
}

TEST(MinSystemVersion, QueryIsReplaceableAndRestorable) {
    setMinSystemVersionQuery(minimum62);
    EXPECT_EQ(queryMinSystemVersion(), makeVersion(6, 2, 'f', 0));
    setMinSystemVersionQuery(nullptr);
    // This machine has no board flash driver: no minimum.
    EXPECT_EQ(queryMinSystemVersion(), 0u);
}

}  // namespace
