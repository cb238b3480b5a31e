#include "driver/Cleanup.h"

#include <string>

#include "install/ApplyPlan.h"
#include "model/InstallContext.h"

namespace {

bool isProtectedName(const std::string& name) {
    return name == "ostrel" || name == "disk-drivers" || name == "system";
}

bool needsRecentSystem(const PackageRecord& record) {
    for (const PackageRange& dependency : record.dependencies)
        if (dependency.name == "system" && dependency.min > kCleanupSystemThreshold) return true;
    return false;
}

}  // namespace

bool runCleanup(InstallContext& context, FsTransaction& transaction) {
    applyPlan(context, transaction, 0);
    for (const auto& record : context.packages) {
        if (isProtectedName(record->name) || record->isBundle || needsRecentSystem(*record))
            continue;
        record->pendingAction = kActionUninstall;
    }
    return applyPlan(context, transaction, 1);
}
