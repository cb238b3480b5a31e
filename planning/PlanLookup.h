#pragma once
// How planning finds the records related to a record: through name indexes built
// once per plan, answering with records in package-list order.
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/PackageRecord.h"

class InstallContext;

// Valid while the package list keeps its records and their names, provides,
// conflicts and bundle references; pending actions and states may change.
class IndexedLookup {
public:
    explicit IndexedLookup(InstallContext& context);
    // First record of the list with that name, or null.
    PackageRecord* byName(const std::string& name);
    // As collectSatisfying.
    std::vector<PackageRecord*> satisfying(const PackageRange& range, bool includeDisabled);
    // The records other than the given one, in list order, among which lie all
    // that exclude it or that it excludes.
    std::vector<PackageRecord*> conflictPeers(const PackageRecord& record);
    // The records, other than the bundle itself, whose bundle reference names it.
    std::vector<PackageRecord*> bundleMembers(const PackageRecord& bundle);

    size_t size() const { return records_.size(); }
    PackageRecord& at(size_t position) const { return *records_[position]; }
    // List positions of the records satisfying or providing the range, ascending.
    std::vector<size_t> satisfyingPositions(const PackageRange& range, bool includeDisabled);

private:
    using PositionIndex = std::unordered_map<std::string, std::vector<size_t>>;
    static const std::vector<size_t>& lookup(const PositionIndex& index, const std::string& key);
    std::vector<PackageRecord*> recordsAt(const std::vector<size_t>& positions) const;

    std::vector<PackageRecord*> records_;
    std::unordered_map<const PackageRecord*, size_t> positionOf_;
    PositionIndex named_;        // record name
    PositionIndex providers_;    // name of a provides entry
    PositionIndex conflicting_;  // name of a conflicts entry
    PositionIndex members_;      // name of the bundle reference
    // Relations through bundle member lists reach records by names the indexes
    // do not hold; with any such list the conflict peers are the whole list.
    bool anyMemberLists_ = false;
};

// The steps of planning over the plan's lookup.
namespace planning {

void propagateBundleActions(InstallContext& context, IndexedLookup& lookup);
void ensureDependencies(InstallContext& context, IndexedLookup& lookup, PackageRecord& record,
                        bool report);
void activateDependency(InstallContext& context, IndexedLookup& lookup, PackageRecord& dependency,
                        PackageRecord& dependent, bool report);
void resolveEnableConflicts(InstallContext& context, IndexedLookup& lookup, PackageRecord& record,
                            bool report);
void reconcileBundles(InstallContext& context, IndexedLookup& lookup);
// Same outcome as dropUnsatisfied, re-examining only what a change can affect.
void dropUnsatisfiedIndexed(IndexedLookup& lookup);

}  // namespace planning
