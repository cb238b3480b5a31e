#include <fstream>

#include "driver/InstallContext.h"
#include "driver/RunModes.h"
#include "driver/UpgradeRun.h"
#include "planning/ChangePlanning.h"
#include "transaction/FsTransaction.h"
#include "transaction/Manifest.h"
#include "transaction/TempFiles.h"

int runUpgradeMode(InstallContext& context, const RunOptions& options) {
    FsTransaction transaction;
    applyPlan(context, transaction, 1);
    int result = 0;
    runUpgrade(context, transaction, options.installFlags | kAllowUpgrade);
    if (!checkSpace(transaction)) {
        context.reportError("not enough space for upgrade");
        transaction.cancel();
        result = kExitNoSpace;
    }
    if (!transaction.empty()) {
        std::ofstream marker = createFile(transaction, kPackagesChangedMarker, 1, 0);
        marker.close();
        if (options.commitNow)
            transaction.commit(false);
        else
            writeManifest(transaction, kManifestPath);
    }
    context.writePostLog();
    return result;
}
