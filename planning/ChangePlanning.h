#pragma once
// Turns pending actions into a consistent plan and carries it out; also chooses
// and orders candidate packages.
#include <vector>

#include "database/PackageRecord.h"

class InstallContext;
class FsTransaction;
class PackageFile;

// Plans and stages the changes; true when the plan was accepted and changes
// at least one package.
bool applyPlan(InstallContext& context, FsTransaction& transaction, int verbosity);
// Refused (false, every pending action reset) when nothing would stay active.
bool planChanges(InstallContext& context, std::vector<PackageRecord*>& removal,
                 std::vector<PackageRecord*>& enable, bool report);
// The same plan by plain scans of the package list instead of name indexes;
// slower on large sets, kept as the reference for planChanges.
bool planChangesUnindexed(InstallContext& context, std::vector<PackageRecord*>& removal,
                          std::vector<PackageRecord*>& enable, bool report);
// Drops candidates superseded by a newer one (older with preferOlder) and orders
// the rest after what they depend on. Defined for PackageRecord and PackageFile.
template <typename Record>
void selectCandidates(InstallContext& context, std::vector<Record*>& list, bool preferOlder,
                      bool report);
void propagateBundleActions(InstallContext& context);
void ensureDependencies(InstallContext& context, PackageRecord& record, bool report);
void activateDependency(InstallContext& context, PackageRecord& dependency,
                        PackageRecord& dependent, bool report);
void dropUnsatisfied(InstallContext& context);
void reconcileBundles(InstallContext& context);
bool anyWillBeActive(InstallContext& context);
