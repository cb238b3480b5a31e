// The steps of change planning that keep bundles, dependencies and conflicts of
// the packages to be active consistent. They only change pending actions.
#include <unordered_map>

#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"
#include "planning/Eligibility.h"
#include "planning/PlanLookup.h"

namespace {

// ensureDependencies and activateDependency call each other. Each call that
// changes an action moves a record towards active, so the walk ends; the one
// way it would not is a ring of bundle references among records already being
// enabled (only a damaged database has those). The walk notices when it is
// about to restart a record's examination with nothing changed since the same
// examination began further up, which could only repeat forever, and skips it.
class DependencyWalk {
public:
    DependencyWalk(InstallContext& context, IndexedLookup& lookup, bool report)
        : context_(context), lookup_(lookup), report_(report) {}

    void ensure(PackageRecord& record) {
        auto [slot, fresh] = inProgress_.emplace(&record, changes_);
        uint64_t outer = slot->second;
        slot->second = changes_;
        ensureSteps(record);
        if (fresh) {
            inProgress_.erase(&record);
        } else {
            inProgress_[&record] = outer;
        }
    }

    void activate(PackageRecord& dependency, PackageRecord& dependent) {
        PendingAction action = dependency.pendingAction;
        if (action == kActionUninstall || action == kActionDisable) {
            if (report_) {
                context_.console.reportWarning(
                    "can not %s %s: %s depends on it", actionWord(action),
                    nameWithVersion(dependency).c_str(), dependent.name.c_str());
            }
            dependency.pendingAction = kActionNone;
            ++changes_;
            ensure(dependency);
        } else if (dependency.disabled) {
            if (action != kActionEnable) {
                dependency.pendingAction = kActionEnable;
                ++changes_;
            } else if (wouldRepeat(dependency)) {
                return;
            }
            ensure(dependency);
        }
    }

private:
    void ensureSteps(PackageRecord& record) {
        if (!record.bundle.name.empty()) {
            if (PackageRecord* bundle = lookup_.byName(record.bundle.name))
                activate(*bundle, record);
        }
        for (const PackageRange& d : record.dependencies) {
            std::vector<PackageRecord*> candidates = lookup_.satisfying(d, true);
            if (candidateState(candidates) == kCandidateActive) continue;
            // Nothing can meet it: dropUnsatisfied takes the record out later.
            if (candidates.empty()) break;
            selectCandidates(context_, candidates, false, false);
            // Candidates that supersede each other exactly can all drop out.
            if (candidates.empty()) continue;
            activate(*candidates.back(), record);
        }
    }

    bool wouldRepeat(const PackageRecord& record) const {
        auto it = inProgress_.find(&record);
        return it != inProgress_.end() && it->second == changes_;
    }

    InstallContext& context_;
    IndexedLookup& lookup_;
    bool report_;
    uint64_t changes_ = 0;
    // record being examined -> the change count when its examination began
    std::unordered_map<const PackageRecord*, uint64_t> inProgress_;
};

}  // namespace

namespace planning {

void propagateBundleActions(InstallContext& context, IndexedLookup& lookup) {
    for (const auto& member : context.packages) {
        if (member->bundle.name.empty()) continue;
        PackageRecord* bundle = lookup.byName(member->bundle.name);
        if (!bundle) continue;
        switch (bundle->pendingAction) {
            case kActionDisable:
                if (member->pendingAction != kActionUninstall)
                    member->pendingAction = kActionDisable;
                break;
            case kActionUninstall:
                member->pendingAction = kActionUninstall;
                break;
            case kActionEnable:
                if (member->disabled) member->pendingAction = kActionEnable;
                break;
            default:
                break;
        }
    }
}

void ensureDependencies(InstallContext& context, IndexedLookup& lookup, PackageRecord& record,
                        bool report) {
    DependencyWalk(context, lookup, report).ensure(record);
}

void activateDependency(InstallContext& context, IndexedLookup& lookup, PackageRecord& dependency,
                        PackageRecord& dependent, bool report) {
    DependencyWalk(context, lookup, report).activate(dependency, dependent);
}

void resolveEnableConflicts(InstallContext& context, IndexedLookup& lookup, PackageRecord& record,
                            bool report) {
    for (PackageRecord* other : lookup.conflictPeers(record)) {
        if (!willBeActive(*other)) continue;
        if (excludes(record, *other)) {
            if (other->pendingAction == kActionNone) other->pendingAction = kActionDisable;
            continue;
        }
        if (record.pendingAction != kActionEnable || !excludes(*other, record)) continue;
        if (other->pendingAction == kActionNone) {
            other->pendingAction = kActionDisable;
        } else if (other->pendingAction == kActionEnable) {
            if (report) {
                context.console.reportWarning("can not enable %s: %s conflicts with it",
                                              record.name.c_str(), nameWithVersion(*other).c_str());
            }
            record.pendingAction = kActionNone;
            return;
        }
    }
}

void reconcileBundles(InstallContext& context, IndexedLookup& lookup) {
    for (const auto& bundle : context.packages) {
        if (!bundle->isBundle || bundle->pendingAction == kActionUninstall) continue;
        bool keep = false;
        bool allGone = true;
        for (PackageRecord* m : lookup.bundleMembers(*bundle)) {
            if (isPlaceholder(*m)) continue;
            if (willBeActive(*m)) {
                keep = true;
                break;
            }
            if (m->disabled
                    ? (m->pendingAction != kActionUninstall && m->pendingAction != kActionEnable)
                    : m->pendingAction == kActionDisable) {
                allGone = false;
            }
        }
        if (keep) continue;
        // No member stays active: an enabled bundle goes; a disabled one merely
        // stays disabled unless all of its members go too.
        if (allGone || !bundle->disabled) {
            bundle->pendingAction = kActionUninstall;
        } else if (bundle->pendingAction == kActionEnable) {
            bundle->pendingAction = kActionNone;
        }
    }
}

}  // namespace planning

bool anyWillBeActive(InstallContext& context) {
    for (const auto& r : context.packages) {
        if (keptActiveOrEnabled(*r)) return true;
    }
    return false;
}
