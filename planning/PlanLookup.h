#pragma once
// How planning finds the records related to a record: by scanning the package
// list, or through name indexes built once per plan. Both answer with the same
// records in package-list order, so every step gives the same result with
// either; the scan is the plain form the indexed one is checked against.
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "database/PackageRecord.h"

class InstallContext;

class RecordLookup {
public:
    virtual ~RecordLookup() = default;
    // First record of the list with that name, or null.
    virtual PackageRecord* byName(const std::string& name) = 0;
    // As collectSatisfying.
    virtual std::vector<PackageRecord*> satisfying(const PackageRange& range,
                                                   bool includeDisabled) = 0;
    // The records other than the given one, in list order, among which lie all
    // that exclude it or that it excludes.
    virtual std::vector<PackageRecord*> conflictPeers(const PackageRecord& record) = 0;
    // The records, other than the bundle itself, whose bundle reference names it.
    virtual std::vector<PackageRecord*> bundleMembers(const PackageRecord& bundle) = 0;
};

class ScanLookup : public RecordLookup {
public:
    explicit ScanLookup(InstallContext& context) : context_(context) {}
    PackageRecord* byName(const std::string& name) override;
    std::vector<PackageRecord*> satisfying(const PackageRange& range,
                                           bool includeDisabled) override;
    std::vector<PackageRecord*> conflictPeers(const PackageRecord& record) override;
    std::vector<PackageRecord*> bundleMembers(const PackageRecord& bundle) override;

private:
    InstallContext& context_;
};

// Valid while the package list keeps its records and their names, provides,
// conflicts and bundle references; pending actions and states may change.
class IndexedLookup : public RecordLookup {
public:
    explicit IndexedLookup(InstallContext& context);
    PackageRecord* byName(const std::string& name) override;
    std::vector<PackageRecord*> satisfying(const PackageRange& range,
                                           bool includeDisabled) override;
    std::vector<PackageRecord*> conflictPeers(const PackageRecord& record) override;
    std::vector<PackageRecord*> bundleMembers(const PackageRecord& bundle) override;

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

// The steps of planning over a chosen lookup; the public functions of
// ChangePlanning.h and Eligibility.h run them with a ScanLookup.
namespace planning {

void propagateBundleActions(InstallContext& context, RecordLookup& lookup);
void ensureDependencies(InstallContext& context, RecordLookup& lookup, PackageRecord& record,
                        bool report);
void activateDependency(InstallContext& context, RecordLookup& lookup, PackageRecord& dependency,
                        PackageRecord& dependent, bool report);
void resolveEnableConflicts(InstallContext& context, RecordLookup& lookup, PackageRecord& record,
                            bool report);
void reconcileBundles(InstallContext& context, RecordLookup& lookup);
// Same outcome as dropUnsatisfied, re-examining only what a change can affect.
void dropUnsatisfiedIndexed(IndexedLookup& lookup);

}  // namespace planning
