#include "driver/RunModes.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "driver/Cleanup.h"
#include "driver/InstallContext.h"
#include "driver/PackageListing.h"
#include "driver/UpgradeRun.h"
#include "planning/ChangePlanning.h"
#include "planning/PackageRemoval.h"
#include "planning/StreamInstall.h"
#include "transaction/FsTransaction.h"
#include "transaction/Manifest.h"
#include "transaction/TempFiles.h"

void commitStoredTransaction(InstallContext& context) {
    FsTransaction transaction;
    readManifest(transaction, kManifestPath);
    context.out() << "finishing install... ";
    context.out().flush();
    transaction.commit(true);
    // The space lands over the spinner's last character.
    context.out() << "\b \n";
    context.out().flush();
}

void cancelStoredTransaction() {
    FsTransaction transaction;
    readManifest(transaction, kManifestPath);
    transaction.cancel();
    unlink(kManifestPath);
}

int runListingMode(InstallContext& context) {
    listPackages(context);
    return 0;
}

int runCleanupMode(InstallContext& context) {
    FsTransaction transaction;
    runCleanup(context, transaction);
    transaction.commit(false);
    return 0;
}

namespace {

// After a successful stream install the copied package file becomes the
// package's stored image, or the boot image.
void placeStreamImage(FsTransaction& transaction, const std::string& databaseDir,
                      bool bootImage) {
    if (databaseDir.empty()) {
        // No image part: the copy has no use, and an ordinary package must
        // never take the boot image away.
        unlink(kStreamImagePath);
        return;
    }
    std::string target = databaseDir + "image";
    if (bootImage) {
        transaction.move(kStreamImagePath, kBootImagePath);
        transaction.link(kBootImagePath, target);
    } else {
        transaction.move(kStreamImagePath, target);
        transaction.remove(kBootImagePath);
    }
}

}  // namespace

int runStreamInstallMode(InstallContext& context, const RunOptions& options) {
    FsTransaction transaction;
    applyPlan(context, transaction, 1);

    std::filebuf image;
    if (!image.open(kStreamImageWritePath, std::ios::out | std::ios::binary | std::ios::trunc)) {
        context.out() << "ERROR: could not open image\n";
        context.out().flush();
        return kExitImageUnwritable;
    }
    std::string databaseDir;
    bool bootImage = false;
    int result = installStream(context, transaction, std::cin, options.installFlags | kAllowUpgrade,
                               UserStateMap(), &image, &databaseDir, &bootImage);
    image.close();

    if (result == 0) {
        placeStreamImage(transaction, databaseDir, bootImage);
        transaction.commit(false);
    } else {
        // What was staged belongs to a package that did not install (its
        // signature may not even have been checked): none of it is applied.
        transaction.cancel();
        unlink(kStreamImagePath);
    }
    context.writePostLog();
    return result;
}
