// Taking out the packages whose dependencies can no longer be met: uninstalled
// when nothing can meet one, disabled when only inactive packages could.
#include <functional>
#include <queue>

#include "model/InstallContext.h"
#include "planning/Eligibility.h"
#include "planning/PlanLookup.h"

namespace {

// Applies the rule for one dependency of the record whose candidates are in the
// given state; true when the record's action changed.
bool dropForState(PackageRecord& record, int state) {
    if (state == kCandidateNone) {
        if (record.pendingAction == kActionUninstall) return false;
        record.pendingAction = kActionUninstall;
        return true;
    }
    if (state == kCandidateInactive) {
        if (!keptActiveOrEnabled(record)) return false;
        record.pendingAction = kActionDisable;
        return true;
    }
    return false;
}

}  // namespace

namespace planning {

// Acts each time on the first record, in list order, that has a dependency whose
// rule applies, and after every change looks again from there: a change can
// take away the last candidate of a record seen earlier. A change to one
// record's action can alter only its own rules and those of the records that
// count it as a candidate, so only those records are kept "to examine", the
// lowest position first.
void dropUnsatisfiedIndexed(IndexedLookup& lookup) {
    const size_t n = lookup.size();
    std::vector<std::vector<std::vector<size_t>>> candidates(n);
    std::vector<std::vector<size_t>> countedBy(n);
    for (size_t i = 0; i < n; ++i) {
        const PackageRecord& r = lookup.at(i);
        candidates[i].reserve(r.dependencies.size());
        for (const PackageRange& d : r.dependencies) {
            candidates[i].push_back(lookup.satisfyingPositions(d, true));
            for (size_t c : candidates[i].back()) {
                if (countedBy[c].empty() || countedBy[c].back() != i) countedBy[c].push_back(i);
            }
        }
    }

    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> pending;
    std::vector<char> queued(n, 1);
    for (size_t i = 0; i < n; ++i) pending.push(i);
    auto enqueue = [&](size_t i) {
        if (!queued[i]) {
            queued[i] = 1;
            pending.push(i);
        }
    };

    std::vector<PackageRecord*> list;
    while (!pending.empty()) {
        size_t i = pending.top();
        pending.pop();
        queued[i] = 0;
        PackageRecord& r = lookup.at(i);
        for (const std::vector<size_t>& positions : candidates[i]) {
            list.clear();
            for (size_t c : positions) list.push_back(&lookup.at(c));
            if (dropForState(r, candidateState(list))) {
                enqueue(i);
                for (size_t dependent : countedBy[i]) enqueue(dependent);
                break;
            }
        }
    }
}

}  // namespace planning
