#pragma once
// Relations between packages and the checks applied before a package is
// installed or enabled.
#include <cstdint>
#include <string>
#include <vector>

#include "model/PackageRecord.h"
#include "planning/InstallFlags.h"

class InstallContext;

// Results of candidateState.
constexpr int kCandidateActive = 0;    // some candidate will be active
constexpr int kCandidateNone = 1;      // no candidate, or all are enabled and to be uninstalled
constexpr int kCandidateInactive = 3;  // only disabled (or being disabled) candidates

// System packages older than this cannot live on flash with large erase blocks.
constexpr VersionNumber kLargeEraseMinVersion = 0x03146302;  // 3.20rc2

// First record in list order with that name; null / -1 when absent.
PackageRecord* findByName(InstallContext& context, const std::string& name);
int findIndexByName(InstallContext& context, const std::string& name);
// The record is that name, or one of its bundle members is.
bool namesPackage(const PackageInfo& record, const std::string& name);
// a needs b.
bool dependsOn(const PackageInfo& a, const PackageInfo& b);
// a may not be active together with b, and a wins.
bool excludes(const PackageInfo& a, const PackageInfo& b);
// First enabled record in list order that excludes the given one.
PackageRecord* findExcluder(InstallContext& context, const PackageInfo& record);
// Non-placeholder records, in list order, that satisfy or provide the range.
std::vector<PackageRecord*> collectSatisfying(InstallContext& context, const PackageRange& range,
                                              bool includeDisabled);
int candidateState(const std::vector<PackageRecord*>& list);

// The board's minimum system version, 0 when the board gives none. Tests replace
// the board query; null restores it.
VersionNumber queryMinSystemVersion();
using MinSystemVersionQuery = VersionNumber (*)();
void setMinSystemVersionQuery(MinSystemVersionQuery query);

bool checkSystemPackage(InstallContext& context, const PackageInfo& package, bool report);
// Prints at most one message per call. sameAsInstalled, when given, is set when
// the installed package of this name has the same version, build time and bundle
// membership (the "already installed" case, whose result is empty like a package
// that is not installed), so that a caller can skip it.
CheckResult checkInstall(InstallContext& context, const PackageInfo& package, bool inBundle,
                         InstallFlags flags, bool* sameAsInstalled = nullptr);
// For a record that will be active: disables what it excludes, and cancels its
// own pending enable when another record being enabled excludes it.
void resolveEnableConflicts(InstallContext& context, PackageRecord& record, bool report);
