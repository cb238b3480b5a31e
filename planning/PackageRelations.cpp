// The relations between packages that the checks and the planner share.
#include <unordered_map>

#include "model/InstallContext.h"
#include "planning/Eligibility.h"

namespace {

// Below this many entries a plain scan is cheaper than an index.
constexpr size_t kIndexedProvides = 16;

// Whether one of a's provides entries meets b, the first that does deciding:
// an entry naming b itself, or naming what b provides (the first such entry of
// b). Packages may provide tens of thousands of names, so b's are indexed.
bool providesDecide(const PackageInfo& a, const PackageInfo& b, bool& wins) {
    if (a.provides.empty()) return false;
    if (b.provides.size() < kIndexedProvides) {
        for (const PackageRange& p : a.provides) {
            if (sameName(p.name, b.name)) return wins = p.precedence >= 0, true;
            for (const PackageRange& q : b.provides)
                if (sameName(p.name, q.name)) return wins = p.precedence > q.precedence, true;
        }
        return false;
    }
    std::unordered_map<std::string, int32_t> firstOfB;
    firstOfB.reserve(b.provides.size());
    for (const PackageRange& q : b.provides) firstOfB.emplace(q.name, q.precedence);
    for (const PackageRange& p : a.provides) {
        if (sameName(p.name, b.name)) return wins = p.precedence >= 0, true;
        auto q = firstOfB.find(p.name);
        if (q != firstOfB.end()) return wins = p.precedence > q->second, true;
    }
    return false;
}

}  // namespace

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
    // Of two providers of one capability the higher precedence wins; equal
    // precedences coexist.
    bool wins = false;
    if (providesDecide(a, b, wins)) return wins;
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
