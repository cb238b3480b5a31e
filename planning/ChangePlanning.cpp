// The order of planning and its outcome: the lists of packages to disable or
// uninstall and to enable, carried out by the removal code.
#include "planning/ChangePlanning.h"

#include "model/InstallContext.h"
#include "planning/Eligibility.h"
#include "planning/PlanLookup.h"

namespace {

bool runPlan(InstallContext& context, IndexedLookup& lookup, std::vector<PackageRecord*>& removal,
             std::vector<PackageRecord*>& enable, bool report) {
    planning::propagateBundleActions(context, lookup);
    // The conditions are looked at as the loops reach each record: earlier
    // records may have changed its action.
    for (size_t i = 0; i < context.packages.size(); ++i) {
        PackageRecord& r = *context.packages[i];
        if (keptActiveOrEnabled(r)) planning::ensureDependencies(context, lookup, r, report);
    }
    for (size_t i = 0; i < context.packages.size(); ++i) {
        PackageRecord& r = *context.packages[i];
        if (keptActiveOrEnabled(r)) planning::resolveEnableConflicts(context, lookup, r, report);
    }
    planning::dropUnsatisfiedIndexed(lookup);
    planning::reconcileBundles(context, lookup);

    if (!context.packages.empty() && !anyWillBeActive(context)) {
        for (const auto& r : context.packages) r->pendingAction = kActionNone;
        if (report) context.console.reportError("can not uninstall or disable all packages");
        return false;
    }

    std::vector<PackageRecord*> leaving;
    std::vector<PackageRecord*> coming;
    for (const auto& r : context.packages) {
        if (r->pendingAction == kActionUninstall || r->pendingAction == kActionDisable)
            leaving.push_back(r.get());
        else if (r->pendingAction == kActionEnable)
            coming.push_back(r.get());
    }
    selectCandidates(context, coming, false, false);
    // Both lists are handed over reversed: removals from the last loaded record
    // back, enables in the reverse of the chosen order.
    removal.insert(removal.begin(), leaving.rbegin(), leaving.rend());
    enable.insert(enable.begin(), coming.rbegin(), coming.rend());
    return true;
}

}  // namespace

bool planChanges(InstallContext& context, std::vector<PackageRecord*>& removal,
                 std::vector<PackageRecord*>& enable, bool report) {
    IndexedLookup lookup(context);
    return runPlan(context, lookup, removal, enable, report);
}
