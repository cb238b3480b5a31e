#pragma once
// Relations between packages and the checks applied before a package is
// installed or enabled.
#include <cstdint>
#include <string>
#include <vector>

#include "database/PackageRecord.h"

class InstallContext;

using InstallFlags = uint32_t;
constexpr InstallFlags kAllowUpgrade = 1;
constexpr InstallFlags kAllowDowngrade = 2;
constexpr InstallFlags kQuietChecks = 8;
constexpr InstallFlags kQuietConflicts = 16;
constexpr InstallFlags kAcceptReinstall = 32;

using CheckResult = uint32_t;
constexpr CheckResult kCheckUpgrade = 1;
constexpr CheckResult kCheckDowngrade = 2;
constexpr CheckResult kCheckBlocked = 8;
constexpr CheckResult kCheckConflict = 16;
constexpr CheckResult kCheckReinstall = 32;
// Not a bit of the result word: set in *alreadyInstalled by checkInstall.

constexpr VersionNumber kLargeEraseMinVersion = 0x03146302;  // 3.20rc2

PackageRecord* findByName(InstallContext& context, const std::string& name);
int findIndexByName(InstallContext& context, const std::string& name);
bool namesPackage(const PackageInfo& record, const std::string& name);
bool dependsOn(const PackageInfo& a, const PackageInfo& b);
bool excludes(const PackageInfo& a, const PackageInfo& b);
PackageRecord* findExcluder(InstallContext& context, const PackageInfo& record);
std::vector<PackageRecord*> collectSatisfying(InstallContext& context, const PackageRange& range,
                                              bool includeDisabled);
int candidateState(const std::vector<PackageRecord*>& list);
bool willBeActive(const PackageRecord& record);

// The board's minimum system version; tests may replace the query.
VersionNumber queryMinSystemVersion();
using MinSystemVersionQuery = VersionNumber (*)();
void setMinSystemVersionQuery(MinSystemVersionQuery query);  // null restores the board query

bool checkSystemPackage(InstallContext& context, const PackageInfo& package, bool report);
// sameAsInstalled, when given, is set when the installed package of this name has
// the same version, build time and bundle membership (the "already installed" case).
CheckResult checkInstall(InstallContext& context, const PackageInfo& package, bool inBundle,
                         InstallFlags flags, bool* sameAsInstalled = nullptr);
void resolveEnableConflicts(InstallContext& context, PackageRecord& record, bool report);
