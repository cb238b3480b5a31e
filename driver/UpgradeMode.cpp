#include "driver/RunModes.h"
#include "driver/UpgradeRun.h"
#include "install/ApplyPlan.h"
#include "model/InstallContext.h"
#include "platform/StopSignals.h"
#include "transaction/FsTransaction.h"
#include "transaction/Manifest.h"
#include "transaction/TempFiles.h"

namespace {

// Stores the transaction for a later --commit or --cancel; its temporary files
// stay recorded. The manifest is whole or not there at all.
bool saveTransaction(InstallContext& context, FsTransaction& transaction, TempRegistry& registry) {
    bool saved;
    {
        StopSignalHold hold;
        saved = stopSignal() == 0 && writeManifest(transaction, kManifestPath, registry);
    }
    if (saved) return true;
    if (stopSignal() == 0) context.console.reportError("could not write manifest");
    transaction.cancel();
    return false;
}

// Applies or saves a transaction that holds changes; the exit status. saved
// tells whether its temporary files now belong to a manifest.
int finishUpgrade(InstallContext& context, const RunOptions& options, FsTransaction& transaction,
                  TempRegistry& registry, bool& saved) {
    saved = false;
    if (!writeStagedFile(transaction, kPackagesChangedMarker, 1, 0, std::string())) {
        reportWriteFailure(context, transaction);
        transaction.cancel();
        return 1;
    }
    if (!options.commitNow) {
        saved = saveTransaction(context, transaction, registry);
        return saved ? 0 : 1;
    }
    return commitUnlessStopped(transaction) ? 0 : 1;
}

}  // namespace

int runUpgradeMode(InstallContext& context, const RunOptions& options, TempRegistry& registry) {
    FsTransaction transaction(&registry);
    applyPlan(context, transaction, 1);
    int result = 0;
    // A fault of the flash has cancelled the whole upgrade, and the run says
    // so; a refused or broken package has been reported already.
    UpgradeOutcome outcome = runUpgrade(context, transaction, options.installFlags | kAllowUpgrade);
    if (outcome == UpgradeOutcome::Failed) result = 1;
    if (stopSignal() != 0) {
        transaction.cancel();
    } else if (outcome == UpgradeOutcome::Staged && reportWriteFailure(context, transaction)) {
        transaction.cancel();
        result = 1;
    } else if (!checkSpace(transaction)) {
        context.console.reportError("not enough space for upgrade");
        transaction.cancel();
        result = kExitNoSpace;
    }
    bool saved = false;
    if (!transaction.empty())
        result = finishUpgrade(context, options, transaction, registry, saved);
    context.console.writePostLog();
    registry.finish(saved);
    return stopSignal() != 0 ? stoppedStatus() : result;
}
