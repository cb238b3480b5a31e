// The indexed planner against the plain one on many random package sets: the
// same decision, lists, pending actions and messages every time.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "PackageSetText.h"
#include "driver/InstallContext.h"
#include "planning/ChangePlanning.h"
#include "planning/Eligibility.h"
#include "planning/PlanLookup.h"

namespace {

// Small name pools so that names, capabilities and bundles collide often.
class RandomSet {
public:
    explicit RandomSet(unsigned seed) : rng_(seed) {}

    void fill(InstallContext& context, int count) {
        for (int i = 0; i < count; ++i) context.append(record(count));
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(int percent) { return pick(100) < percent; }
    VersionNumber version() { return makeVersion(static_cast<uint8_t>(1 + pick(3)), 0, 'f', 0); }
    std::string packageName(int count) { return "p" + std::to_string(pick(count + 2)); }
    std::string someName(int count) {
        return chance(40) ? "cap" + std::to_string(pick(4)) : packageName(count);
    }
    PackageRange range(int count) {
        PackageRange r{someName(count), 0, 0, 0};
        if (chance(20)) r.min = version();
        if (chance(15)) r.max = version();
        return r;
    }

    std::unique_ptr<PackageRecord> record(int count) {
        auto r = std::make_unique<PackageRecord>(packageName(count));
        r->version = version();
        r->buildTime = static_cast<uint32_t>(pick(2));
        if (chance(3)) r->version = r->buildTime = kPlaceholderMark;
        r->disabled = chance(35);
        if (chance(50)) r->pendingAction = static_cast<PendingAction>(1 + pick(3));
        for (int n = pick(4); n > 0; --n) r->dependencies.push_back(range(count));
        for (int n = pick(3); n > 0; --n) {
            PackageRange p = range(count);
            static const int32_t kPrecedences[] = {-1, 0, 0, 1, 5};
            p.precedence = kPrecedences[pick(5)];
            r->provides.push_back(p);
        }
        if (chance(30)) r->conflicts.push_back(range(count));
        r->isBundle = chance(12);
        if (chance(20)) r->bundle.name = packageName(count);
        if (chance(4)) {
            auto member = std::make_unique<PackageInfo>(packageName(count));
            member->version = version();
            if (chance(50)) member->conflicts.push_back(range(count));
            r->members.push_back(std::move(member));
        }
        return r;
    }

    std::mt19937 rng_;
};

struct Outcome {
    bool accepted = false;
    std::vector<size_t> removal;
    std::vector<size_t> enable;
    std::vector<int> pending;
    std::vector<std::string> messages;
    std::string console;
};

std::vector<size_t> positions(const InstallContext& context,
                              const std::vector<PackageRecord*>& list) {
    std::vector<size_t> out;
    for (const PackageRecord* r : list) {
        for (size_t i = 0; i < context.packages.size(); ++i) {
            if (context.packages[i].get() == r) out.push_back(i);
        }
    }
    return out;
}

template <typename Step>
Outcome run(unsigned seed, int count, Step step) {
    InstallContext context;
    std::ostringstream console;
    context.setOutput(console);
    RandomSet(seed).fill(context, count);
    Outcome outcome;
    std::vector<PackageRecord*> removal;
    std::vector<PackageRecord*> enable;
    outcome.accepted = step(context, removal, enable);
    outcome.removal = positions(context, removal);
    outcome.enable = positions(context, enable);
    for (const auto& r : context.packages) outcome.pending.push_back(r->pendingAction);
    outcome.messages = context.messages;
    outcome.console = console.str();
    return outcome;
}

void expectSame(const Outcome& fast, const Outcome& plain, unsigned seed) {
    EXPECT_EQ(fast.accepted, plain.accepted) << "seed " << seed;
    EXPECT_EQ(fast.removal, plain.removal) << "seed " << seed;
    EXPECT_EQ(fast.enable, plain.enable) << "seed " << seed;
    EXPECT_EQ(fast.pending, plain.pending) << "seed " << seed;
    EXPECT_EQ(fast.messages, plain.messages) << "seed " << seed;
    EXPECT_EQ(fast.console, plain.console) << "seed " << seed;
}

TEST(PlanEquivalence, IndexedPlannerMatchesPlainPlanner) {
    int changedSomething = 0;
    for (unsigned seed = 1; seed <= 1500; ++seed) {
        int count = 1 + static_cast<int>(seed % 40);
        auto fast = run(seed, count, [](InstallContext& c, auto& removal, auto& enable) {
            return planChanges(c, removal, enable, true);
        });
        auto plain = run(seed, count, [](InstallContext& c, auto& removal, auto& enable) {
            return planChangesUnindexed(c, removal, enable, true);
        });
        expectSame(fast, plain, seed);
        if (!fast.removal.empty() || !fast.enable.empty()) ++changedSomething;
        if (::testing::Test::HasFailure()) return;
    }
    // The sets must exercise the planner, not just pass through it.
    EXPECT_GT(changedSomething, 1000);
}

TEST(PlanEquivalence, IndexedDropMatchesRestartingScan) {
    int dropped = 0;
    for (unsigned seed = 1; seed <= 1500; ++seed) {
        int count = 5 + static_cast<int>(seed % 60);
        auto fast = run(seed, count, [](InstallContext& c, auto&, auto&) {
            IndexedLookup lookup(c);
            planning::dropUnsatisfiedIndexed(lookup);
            return true;
        });
        auto plain = run(seed, count, [](InstallContext& c, auto&, auto&) {
            dropUnsatisfied(c);
            return true;
        });
        expectSame(fast, plain, seed);
        auto before = run(seed, count, [](InstallContext&, auto&, auto&) { return true; });
        if (before.pending != plain.pending) ++dropped;
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(dropped, 500);
}

TEST(PlanEquivalence, LongChainCascadeMatches) {
    // A chain listed dependents first, whose root lacks a dependency: every
    // link goes, one restart of the plain scan per link.
    auto build = [](InstallContext& context) {
        plantest::addPackages(context, "base 1.0\n");
        for (int i = 60; i >= 1; --i) {
            plantest::addPackage(context,
                                 "c" + std::to_string(i) + " 1.0 deps=c" + std::to_string(i - 1));
        }
        plantest::addPackage(context, "c0 1.0 deps=absent");
    };
    InstallContext fast;
    InstallContext plain;
    build(fast);
    build(plain);
    std::vector<PackageRecord*> r1, e1, r2, e2;
    ASSERT_TRUE(planChanges(fast, r1, e1, false));
    ASSERT_TRUE(planChangesUnindexed(plain, r2, e2, false));
    EXPECT_EQ(plantest::listText(r1), plantest::listText(r2));
    EXPECT_EQ(r1.size(), 61u);
    EXPECT_EQ(plantest::pendingText(fast), plantest::pendingText(plain));
}

TEST(DependencyWalk, RingOfBundleReferencesEnds) {
    InstallContext context;
    std::ostringstream console;
    context.setOutput(console);
    plantest::addPackages(context,
                          "base 1.0\n"
                          "a 1.0 bundle disabled enable in=b\n"
                          "b 1.0 bundle disabled enable in=a\n");
    std::vector<PackageRecord*> removal, enable;
    ASSERT_TRUE(planChanges(context, removal, enable, true));
    EXPECT_EQ(plantest::pendingText(context), "a=enable b=enable");
}

}  // namespace
