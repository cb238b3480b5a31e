#pragma once
// Turns pending actions into a consistent plan; also chooses and orders
// candidate packages.
#include <vector>

#include "model/PackageRecord.h"

class InstallContext;
class PackageFile;

// Refused (false, every pending action reset) when nothing would stay active.
bool planChanges(InstallContext& context, std::vector<PackageRecord*>& removal,
                 std::vector<PackageRecord*>& enable, bool report);
// Drops candidates superseded by a newer one (older with preferOlder) and orders
// the rest after what they depend on. Defined for PackageRecord and PackageFile.
template <typename Record>
void selectCandidates(InstallContext& context, std::vector<Record*>& list, bool preferOlder,
                      bool report);
// Some record is kept active or is to be enabled.
bool anyWillBeActive(InstallContext& context);
