// The relations between packages on small hand-built sets.
#include <gtest/gtest.h>

#include <sstream>

#include "PackageSetText.h"
#include "model/InstallContext.h"
#include "package/PackageHeader.h"
#include "planning/ChangePlanning.h"
#include "planning/Eligibility.h"

namespace {

using plantest::makeRecord;

class Relations : public ::testing::Test {
protected:
    Relations() { context.console.setOutput(console); }
    InstallContext context;
    std::ostringstream console;
};

TEST(Excludes, ProvidingAnotherNameReplacesItUnlessPrecedenceIsNegative) {
    auto b = makeRecord("b 1.0");
    auto replacing = makeRecord("a 1.0 provides=b@0");
    EXPECT_TRUE(excludes(*replacing, *b));
    EXPECT_FALSE(excludes(*b, *replacing));
    auto yielding = makeRecord("a 1.0 provides=b@-1");
    EXPECT_FALSE(excludes(*yielding, *b));
    EXPECT_TRUE(excludes(*b, *yielding));
}

TEST(Excludes, SharedCapabilityGoesToTheHigherPrecedence) {
    auto five = makeRecord("p 1.0 provides=cap@5");
    auto otherFive = makeRecord("q 1.0 provides=cap@5");
    EXPECT_FALSE(excludes(*five, *otherFive));
    EXPECT_FALSE(excludes(*otherFive, *five));
    auto six = makeRecord("q 1.0 provides=cap@6");
    EXPECT_TRUE(excludes(*six, *five));
    EXPECT_FALSE(excludes(*five, *six));
}

TEST(Excludes, ProvidesPrecedenceDecidesBeforeConflictsWithCapabilities) {
    // b yields to a by precedence: the answer is final even though a also lists
    // a conflict that b's capability would match.
    auto a = makeRecord("a 1.0 conflicts=cap");
    auto b = makeRecord("b 1.0 provides=a@-1,cap");
    EXPECT_TRUE(excludes(*a, *b));
    auto c = makeRecord("c 1.0 provides=a@3,cap");
    EXPECT_FALSE(excludes(*a, *c)) << "c's provides entry for a decides before a's conflicts";
    auto d = makeRecord("d 1.0 provides=cap");
    EXPECT_TRUE(excludes(*a, *d)) << "without a decision by provides, conflicts match capabilities";
}

TEST(Excludes, DirectConflictComesFirstAndHonoursVersions) {
    auto a = makeRecord("a 1.0 conflicts=b<=1.5");
    auto oldB = makeRecord("b 1.2 provides=a@0");
    auto newB = makeRecord("b 2.0");
    EXPECT_TRUE(excludes(*a, *oldB));
    EXPECT_FALSE(excludes(*a, *newB));
}

TEST(Excludes, BundleMembersAgainstSinglePackages) {
    auto bundle = makeRecord("suite 1.0 bundle members=m@1.0");
    auto single = makeRecord("m 1.0");
    auto other = makeRecord("x 1.0");
    // The single package of a member's name stands against the bundle.
    EXPECT_TRUE(excludes(*single, *bundle));
    EXPECT_FALSE(excludes(*other, *bundle));
    // A member's own conflicts count for its bundle.
    auto hostile = makeRecord("suite 1.0 bundle members=m@1.0");
    hostile->members[0]->conflicts.push_back(PackageRange{"x", 0, 0, 0});
    EXPECT_TRUE(excludes(*hostile, *other));
    EXPECT_FALSE(excludes(*bundle, *other));
}

TEST(Excludes, PlaceholdersNeverTakePart) {
    auto holder = makeRecord("a 1.0 placeholder conflicts=b provides=b");
    auto b = makeRecord("b 1.0 conflicts=a provides=a");
    EXPECT_FALSE(excludes(*holder, *b));
    EXPECT_FALSE(excludes(*b, *holder));
    auto plainA = makeRecord("a 1.0 conflicts=b");
    EXPECT_TRUE(excludes(*plainA, *b)) << "the same record without the mark does exclude";
}

TEST(DependsOn, ByNameProvidesAndBundleMembers) {
    auto app = makeRecord("app 1.0 deps=http>=2.0");
    EXPECT_TRUE(dependsOn(*app, *makeRecord("server 1.0 provides=http>=2.0<=3.0")));
    EXPECT_FALSE(dependsOn(*app, *makeRecord("server 1.0 provides=http<=1.0")));
    EXPECT_TRUE(dependsOn(*app, *makeRecord("http 2.1")));
    EXPECT_FALSE(dependsOn(*app, *makeRecord("http 1.9")));
    auto bundle = makeRecord("suite 1.0 bundle members=http@2.0");
    EXPECT_TRUE(dependsOn(*app, *bundle)) << "a bundle holding what is needed";
    auto needing = makeRecord("suite 1.0 bundle members=tool@1.0");
    needing->members[0]->dependencies.push_back(PackageRange{"lib", 0, 0, 0});
    EXPECT_TRUE(dependsOn(*needing, *makeRecord("lib 1.0")));
    EXPECT_FALSE(dependsOn(*makeRecord("lib 1.0"), *needing));
}

TEST(NamesPackage, OwnNameOrMemberName) {
    auto bundle = makeRecord("suite 1.0 bundle members=m@1.0");
    EXPECT_TRUE(namesPackage(*bundle, "suite"));
    EXPECT_TRUE(namesPackage(*bundle, "m"));
    EXPECT_FALSE(namesPackage(*bundle, "M"));
}

TEST_F(Relations, FindByNameIsFirstInListOrder) {
    plantest::addPackages(context, "a 1.0\nb 1.0\nb 2.0\n");
    EXPECT_EQ(findIndexByName(context, "b"), 1);
    EXPECT_EQ(findByName(context, "b")->version, context.packages[1]->version);
    EXPECT_EQ(findIndexByName(context, "c"), -1);
    EXPECT_EQ(findByName(context, "c"), nullptr);
}

TEST_F(Relations, CollectSatisfyingSkipsPlaceholdersAndOptionallyDisabled) {
    plantest::addPackages(context,
                          "web 1.0 disabled provides=http\n"
                          "http 1.0 placeholder\n"
                          "http 2.0\n"
                          "proxy 1.0 provides=http<=1.0\n");
    PackageRange any{"http", 0, 0, 0};
    EXPECT_EQ(plantest::listText(collectSatisfying(context, any, true)),
              "web-1.0 http-2.0 proxy-1.0");
    EXPECT_EQ(plantest::listText(collectSatisfying(context, any, false)), "http-2.0 proxy-1.0");
    PackageRange recent{"http", makeVersion(2, 0, 'f', 0), 0, 0};
    EXPECT_EQ(plantest::listText(collectSatisfying(context, recent, true)), "web-1.0 http-2.0");
}

TEST_F(Relations, FindExcluderIgnoresDisabledPackages) {
    plantest::addPackages(context, "x 1.0 disabled conflicts=p\ny 1.0 conflicts=p\n");
    auto p = makeRecord("p 1.0");
    EXPECT_EQ(findExcluder(context, *p), context.packages[1].get());
    context.packages[1]->disabled = true;
    EXPECT_EQ(findExcluder(context, *p), nullptr);
}

TEST(CandidateState, ActiveInactiveOrNone) {
    auto r = [](const std::string& line) { return makeRecord("x 1.0 " + line); };
    auto enabled = r("enabled"), toEnable = r("disabled enable"), disabled = r("disabled"),
         disabling = r("enabled disable"), leaving = r("enabled uninstall"),
         reEnabled = r("enabled enable"), disabledLeaving = r("disabled uninstall");
    EXPECT_TRUE(willBeActive(*enabled));
    EXPECT_TRUE(willBeActive(*toEnable));
    EXPECT_FALSE(willBeActive(*reEnabled)) << "an enabled package marked enable does not count";
    EXPECT_EQ(candidateState({}), kCandidateNone);
    EXPECT_EQ(candidateState({leaving.get(), enabled.get()}), kCandidateActive);
    EXPECT_EQ(candidateState({leaving.get(), toEnable.get()}), kCandidateActive);
    EXPECT_EQ(candidateState({leaving.get(), disabled.get()}), kCandidateInactive);
    EXPECT_EQ(candidateState({disabling.get()}), kCandidateInactive);
    EXPECT_EQ(candidateState({disabledLeaving.get()}), kCandidateInactive);
    EXPECT_EQ(candidateState({leaving.get(), reEnabled.get()}), kCandidateNone);
}

TEST_F(Relations, EnableConflictsDisableWhatAnActivePackageExcludes) {
    plantest::addPackages(context,
                          "r 1.0 conflicts=o,u\n"
                          "o 1.0\n"
                          "u 1.0 uninstall\n");
    resolveEnableConflicts(context, *context.packages[0], true);
    EXPECT_EQ(plantest::pendingText(context), "o=disable u=uninstall");
    EXPECT_TRUE(context.console.messages.empty());
}

TEST_F(Relations, EnableConflictsCancelTheLoserOfTwoEnables) {
    plantest::addPackages(context,
                          "r 1.0 disabled enable\n"
                          "o 1.0 disabled enable conflicts=r\n");
    PackageRecord& r = *context.packages[0];
    PackageRecord& o = *context.packages[1];
    resolveEnableConflicts(context, o, true);
    EXPECT_EQ(plantest::pendingText(context), "r=enable o=enable") << "o leaves r's enable alone";
    resolveEnableConflicts(context, r, true);
    EXPECT_EQ(plantest::pendingText(context), "o=enable");
    ASSERT_EQ(context.console.messages.size(), 1u);
    EXPECT_EQ(context.console.messages[0], "WARNING: can not enable r: o-1.0 conflicts with it");
    r.pendingAction = kActionEnable;
    resolveEnableConflicts(context, r, false);
    EXPECT_EQ(r.pendingAction, kActionNone);
    EXPECT_EQ(context.console.messages.size(), 1u) << "report false cancels silently";
}

TEST_F(Relations, SelectCandidatesOverPackageFiles) {
    // The upgrade run chooses among the files it found.
    std::vector<std::unique_ptr<PackageFile>> files;
    auto file = [&](const std::string& name, VersionNumber version,
                    std::vector<PackageRange> deps = {}) {
        files.push_back(std::make_unique<PackageFile>());
        files.back()->name = name;
        files.back()->version = version;
        files.back()->dependencies = std::move(deps);
        files.back()->path = "/flash/rw/pckg/" + name + "-" + formatVersion(version) + ".npk";
        return files.back().get();
    };
    PackageFile* app = file("app", makeVersion(1, 0, 'f', 0), {PackageRange{"lib", 0, 0, 0}});
    PackageFile* newLib = file("lib", makeVersion(2, 0, 'f', 0));
    PackageFile* oldLib = file("lib", makeVersion(1, 0, 'f', 0));
    std::vector<PackageFile*> list{app, newLib, oldLib};
    selectCandidates(context, list, false, true);
    EXPECT_EQ(list, (std::vector<PackageFile*>{newLib, app}));
    EXPECT_EQ(context.console.messages,
              std::vector<std::string>{
                  "WARNING: omitting package lib-1.0: newer package is already provided"});
    list = {app, newLib, oldLib};
    selectCandidates(context, list, true, false);
    EXPECT_EQ(list, (std::vector<PackageFile*>{oldLib, app}));
    EXPECT_EQ(context.console.messages.size(), 1u);
}

}  // namespace
