#pragma once
// Turns pending actions into a consistent plan and carries it out; also chooses
// and orders candidate packages.
#include <vector>

#include "database/PackageRecord.h"

class InstallContext;
class FsTransaction;

bool applyPlan(InstallContext& context, FsTransaction& transaction, int verbosity);
bool planChanges(InstallContext& context, std::vector<PackageRecord*>& removal,
                 std::vector<PackageRecord*>& enable, bool report);
// Works on lists of installed records and of package files (PackageRecord and
// PackageFile are instantiated in the implementation).
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
