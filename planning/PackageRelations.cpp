// The relations between packages that the checks and the planner share.
#include "driver/InstallContext.h"
#include "planning/Eligibility.h"

PackageRecord* findByName(InstallContext& context, const std::string& name) {
    int index = findIndexByName(context, name);
    return index < 0 ? nullptr : context.packages[static_cast<size_t>(index)].get();
}

int findIndexByName(InstallContext& context, const std::string& name) {
    for (size_t i = 0; i < context.packages.size(); ++i) {
        if (sameName(context.packages[i]->name, name)) return static_cast<int>(i);
    }
    return -1;
}

bool namesPackage(const PackageInfo& record, const std::string& name) {
    if (sameName(record.name, name)) return true;
    for (const auto& member : record.members) {
        if (sameName(member->name, name)) return true;
    }
    return false;
}

bool dependsOn(const PackageInfo& a, const PackageInfo& b) {
    for (const PackageRange& d : a.dependencies) {
        if (satisfies(b, d) || providesRange(b, d)) return true;
    }
    for (const auto& member : b.members) {
        if (dependsOn(a, *member)) return true;
    }
    for (const auto& member : a.members) {
        if (dependsOn(*member, b)) return true;
    }
    return false;
}

bool excludes(const PackageInfo& a, const PackageInfo& b) {
    if (isPlaceholder(a) || isPlaceholder(b)) return false;
    for (const PackageRange& c : a.conflicts) {
        if (satisfies(b, c)) return true;
    }
    // A package that provides another's name replaces it unless its precedence
    // is negative; the first provides entry that names the other decides.
    for (const PackageRange& p : b.provides) {
        if (sameName(p.name, a.name)) return p.precedence < 0;
    }
    for (const PackageRange& p : a.provides) {
        if (sameName(p.name, b.name)) return p.precedence >= 0;
        for (const PackageRange& q : b.provides) {
            // Of two providers of one capability the higher precedence wins;
            // equal precedences coexist.
            if (sameName(p.name, q.name)) return p.precedence > q.precedence;
        }
    }
    for (const PackageRange& c : a.conflicts) {
        if (providesRange(b, c)) return true;
    }
    for (const auto& member : b.members) {
        if (sameName(member->name, a.name)) return true;
    }
    for (const auto& member : a.members) {
        if (excludes(*member, b)) return true;
    }
    return false;
}

PackageRecord* findExcluder(InstallContext& context, const PackageInfo& record) {
    for (const auto& x : context.packages) {
        if (!x->disabled && excludes(*x, record)) return x.get();
    }
    return nullptr;
}

std::vector<PackageRecord*> collectSatisfying(InstallContext& context, const PackageRange& range,
                                              bool includeDisabled) {
    std::vector<PackageRecord*> found;
    for (const auto& r : context.packages) {
        if (isPlaceholder(*r) || (r->disabled && !includeDisabled)) continue;
        if (satisfies(*r, range) || providesRange(*r, range)) found.push_back(r.get());
    }
    return found;
}

int candidateState(const std::vector<PackageRecord*>& list) {
    bool inactive = false;
    for (const PackageRecord* r : list) {
        if (willBeActive(*r)) return kCandidateActive;
        if (r->disabled ? r->pendingAction != kActionEnable : r->pendingAction == kActionDisable)
            inactive = true;
    }
    return inactive ? kCandidateInactive : kCandidateNone;
}

bool willBeActive(const PackageRecord& record) {
    return record.disabled ? record.pendingAction == kActionEnable
                           : record.pendingAction == kActionNone;
}
