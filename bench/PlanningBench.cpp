// Planning over synthetic installed sets: dependency chains (by name and through
// provided capabilities), shared capabilities with precedences, a few conflicts
// and disabled packages, in shuffled load order.
//
//  UninstallNearChainRoot: the second link of the longest chain is marked for
//    uninstall; its dependents keep it, through the whole dependency walk.
//  CascadeFromMissingDependency: the root of the longest chain needs a package
//    that is not there; the whole chain is uninstalled link by link.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"

namespace {

enum class Scenario { UninstallNearChainRoot, CascadeFromMissingDependency };

std::string packageName(int i) {
    return "pkg" + std::to_string(i);
}

VersionNumber versionOf(int i) {
    return makeVersion(static_cast<uint8_t>(1 + i % 7), static_cast<uint8_t>(i % 13), 'f', 0);
}

using Records = std::vector<std::unique_ptr<PackageRecord>>;

// Chains over consecutive numbers: one long chain of longChain links at the
// start, the rest in chains of 2 to 20 links.
void linkChains(Records& records, int longChain, std::mt19937& rng) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const int count = static_cast<int>(records.size());
    int start = 0;
    while (start < count) {
        int length = start == 0 ? longChain : 2 + pick(19);
        int end = std::min(count, start + length);
        for (int i = start + 1; i < end; ++i) {
            PackageRecord& link = *records[static_cast<size_t>(i)];
            PackageRecord& prev = *records[static_cast<size_t>(i - 1)];
            if (pick(3) == 0) {
                // Through a capability the previous link provides.
                std::string capability = "cap" + std::to_string(i - 1);
                prev.provides.push_back(PackageRange{capability, prev.version, 0, 0});
                link.dependencies.push_back(PackageRange{capability, 0, 0, 0});
            } else {
                link.dependencies.push_back(PackageRange{prev.name, prev.version, 0, 0});
            }
            if (i - start > 2 && pick(4) == 0) {
                int earlier = start + pick(i - start - 1);
                link.dependencies.push_back(PackageRange{packageName(earlier), 0, 0, 0});
            }
        }
        start = end;
    }
}

void buildSet(InstallContext& context, int count, Scenario scenario) {
    std::mt19937 rng(12345u + static_cast<unsigned>(count));
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    std::vector<std::unique_ptr<PackageRecord>> records;
    for (int i = 0; i < count; ++i) {
        auto r = std::make_unique<PackageRecord>(packageName(i));
        r->version = versionOf(i);
        r->buildTime = static_cast<uint32_t>(1000 + i);
        records.push_back(std::move(r));
    }
    const int longChain = std::max(2, count / 4);
    linkChains(records, longChain, rng);
    // A consistent installed set: shared services whose enabled providers have
    // equal precedences, disabled alternatives that yield to them, and
    // conflicts that only hit disabled packages. Disabled packages are chain
    // ends, so nothing active needs them.
    const int services = std::max(1, count / 10);
    for (int i = 0; i < count; ++i) {
        PackageRecord& r = *records[static_cast<size_t>(i)];
        bool chainEnd = i + 1 == count || records[static_cast<size_t>(i + 1)]->dependencies.empty();
        if (i >= longChain && chainEnd && pick(3) == 0) r.disabled = true;
        if (pick(10) < 3) {
            int32_t precedence = r.disabled ? -1 : 0;
            r.provides.push_back(
                PackageRange{"svc" + std::to_string(pick(services)), 0, 0, precedence});
        }
    }
    for (int i = 0; i < count; ++i) {
        PackageRecord& r = *records[static_cast<size_t>(i)];
        int other = pick(count);
        if (!r.disabled && records[static_cast<size_t>(other)]->disabled && pick(5) == 0)
            r.conflicts.push_back(PackageRange{packageName(other), 0, 0, 0});
    }
    if (scenario == Scenario::UninstallNearChainRoot) {
        records[1]->pendingAction = kActionUninstall;
    } else {
        records[0]->dependencies.push_back(PackageRange{"absent", 0, 0, 0});
    }
    std::shuffle(records.begin(), records.end(), rng);
    for (auto& r : records) context.append(std::move(r));
}

void planSet(benchmark::State& state, Scenario scenario) {
    InstallContext context;
    context.console.quiet = true;
    buildSet(context, static_cast<int>(state.range(0)), scenario);
    std::vector<PendingAction> initial;
    for (const auto& r : context.packages) initial.push_back(r->pendingAction);
    size_t changes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < initial.size(); ++i) context.packages[i]->pendingAction = initial[i];
        std::vector<PackageRecord*> removal;
        std::vector<PackageRecord*> enable;
        state.ResumeTiming();
        bool accepted = planChanges(context, removal, enable, true);
        benchmark::DoNotOptimize(accepted);
        changes = removal.size() + enable.size();
    }
    state.counters["changes"] = static_cast<double>(changes);
}

void UninstallNearChainRoot(benchmark::State& state) {
    planSet(state, Scenario::UninstallNearChainRoot);
}
void CascadeFromMissingDependency(benchmark::State& state) {
    planSet(state, Scenario::CascadeFromMissingDependency);
}

}  // namespace

BENCHMARK(UninstallNearChainRoot)->Arg(100)->Arg(500)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(CascadeFromMissingDependency)
    ->Arg(100)
    ->Arg(500)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
