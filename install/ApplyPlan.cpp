#include "install/ApplyPlan.h"

#include <vector>

#include "install/PackageRemoval.h"
#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"

bool applyPlan(InstallContext& context, FsTransaction& transaction, int verbosity) {
    std::vector<PackageRecord*> removal;
    std::vector<PackageRecord*> enable;
    if (!planChanges(context, removal, enable, verbosity != 0)) return false;
    bool changing = !removal.empty() || !enable.empty();
    disableOrUninstallPackages(context, transaction, removal, verbosity);
    enablePackages(context, transaction, enable, verbosity);
    return changing;
}
