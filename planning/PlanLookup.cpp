#include "planning/PlanLookup.h"

#include <algorithm>

#include "model/InstallContext.h"
#include "planning/Eligibility.h"

IndexedLookup::IndexedLookup(InstallContext& context) {
    records_.reserve(context.packages.size());
    auto addOnce = [](std::vector<size_t>& positions, size_t i) {
        if (positions.empty() || positions.back() != i) positions.push_back(i);
    };
    for (size_t i = 0; i < context.packages.size(); ++i) {
        PackageRecord* r = context.packages[i].get();
        records_.push_back(r);
        positionOf_.emplace(r, i);
        named_[r->name].push_back(i);
        for (const PackageRange& p : r->provides) addOnce(providers_[p.name], i);
        for (const PackageRange& c : r->conflicts) addOnce(conflicting_[c.name], i);
        if (!r->bundle.name.empty()) members_[r->bundle.name].push_back(i);
        if (!r->members.empty()) anyMemberLists_ = true;
    }
}

const std::vector<size_t>& IndexedLookup::lookup(const PositionIndex& index,
                                                 const std::string& key) {
    static const std::vector<size_t> kNone;
    auto it = index.find(key);
    return it == index.end() ? kNone : it->second;
}

std::vector<PackageRecord*> IndexedLookup::recordsAt(const std::vector<size_t>& positions) const {
    std::vector<PackageRecord*> out;
    out.reserve(positions.size());
    for (size_t p : positions) out.push_back(records_[p]);
    return out;
}

PackageRecord* IndexedLookup::byName(const std::string& name) {
    const std::vector<size_t>& positions = lookup(named_, name);
    return positions.empty() ? nullptr : records_[positions.front()];
}

std::vector<size_t> IndexedLookup::satisfyingPositions(const PackageRange& range,
                                                       bool includeDisabled) {
    // Satisfying a range needs the record's name, providing it needs a provides
    // entry of that name: the two index lists hold every possible match.
    const std::vector<size_t>& byName = lookup(named_, range.name);
    const std::vector<size_t>& byProvides = lookup(providers_, range.name);
    std::vector<size_t> candidates;
    candidates.reserve(byName.size() + byProvides.size());
    std::set_union(byName.begin(), byName.end(), byProvides.begin(), byProvides.end(),
                   std::back_inserter(candidates));
    std::vector<size_t> found;
    for (size_t p : candidates) {
        const PackageRecord& r = *records_[p];
        if (isPlaceholder(r) || (r.disabled && !includeDisabled)) continue;
        if (satisfies(r, range) || providesRange(r, range)) found.push_back(p);
    }
    return found;
}

std::vector<PackageRecord*> IndexedLookup::satisfying(const PackageRange& range,
                                                      bool includeDisabled) {
    return recordsAt(satisfyingPositions(range, includeDisabled));
}

std::vector<PackageRecord*> IndexedLookup::conflictPeers(const PackageRecord& record) {
    auto self = positionOf_.find(&record);
    if (anyMemberLists_ || self == positionOf_.end()) {
        std::vector<PackageRecord*> all;
        for (PackageRecord* r : records_) {
            if (r != &record) all.push_back(r);
        }
        return all;
    }
    // Without member lists, excludes(a, b) needs b named by a conflicts or
    // provides entry of a, a named by a provides entry of b, a provides entry of
    // b sharing its name with a provides or conflicts entry of a; and the same
    // with a and b swapped.
    std::vector<size_t> positions;
    auto take = [&](const PositionIndex& index, const std::string& key) {
        const std::vector<size_t>& found = lookup(index, key);
        positions.insert(positions.end(), found.begin(), found.end());
    };
    take(providers_, record.name);
    take(conflicting_, record.name);
    for (const PackageRange& p : record.provides) {
        take(named_, p.name);
        take(providers_, p.name);
        take(conflicting_, p.name);
    }
    for (const PackageRange& c : record.conflicts) {
        take(named_, c.name);
        take(providers_, c.name);
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    positions.erase(std::remove(positions.begin(), positions.end(), self->second), positions.end());
    return recordsAt(positions);
}

std::vector<PackageRecord*> IndexedLookup::bundleMembers(const PackageRecord& bundle) {
    std::vector<PackageRecord*> members;
    for (size_t p : lookup(members_, bundle.name)) {
        if (records_[p] != &bundle) members.push_back(records_[p]);
    }
    return members;
}
