#include "driver/RunModes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/Cleanup.h"
#include "driver/PackageListing.h"
#include "install/ApplyPlan.h"
#include "install/PackageRemoval.h"
#include "install/StreamInstall.h"
#include "model/InstallContext.h"
#include "platform/FileInput.h"
#include "platform/FileOutput.h"
#include "platform/StopSignals.h"
#include "transaction/DatabasePaths.h"
#include "transaction/FsTransaction.h"
#include "transaction/Manifest.h"
#include "transaction/Spinner.h"
#include "transaction/TempFiles.h"

namespace {

constexpr size_t kStreamBlockSize = 65536;
constexpr int kSignalStatusBase = 128;

// The copy of the stream is recorded as a temporary file before it is made, so
// that a killed run's copy is reclaimed by the next one.
bool openImageCopy(TempRegistry& registry, OutputFile& image) {
    if (!registry.add(streamImagePath())) return false;
    // Whatever holds the name (a copy no record knew of, a FIFO) is replaced.
    unlink(streamImageWritePath().c_str());
    int fd = open(streamImageWritePath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    image.attach(fd);
    return true;
}

void dropImageCopy(TempRegistry& registry) {
    if (unlink(streamImagePath().c_str()) == 0 || errno == ENOENT)
        registry.forget(streamImagePath());
}

// After a successful stream install the copied package file becomes the
// package's stored image, or the boot image.
void placeStreamImage(FsTransaction& transaction, const std::string& databaseDir, bool bootImage) {
    if (databaseDir.empty()) {
        // No image part: the copy has no use, and an ordinary package must
        // never take the boot image away.
        dropImageCopy(transaction.registry());
        return;
    }
    std::string target = databaseDir + kImageFileName;
    if (bootImage) {
        transaction.move(streamImagePath(), kBootImagePath);
        transaction.link(kBootImagePath, target);
    } else {
        transaction.move(streamImagePath(), target);
        transaction.remove(kBootImagePath);
    }
}

// Runs the install proper; the result of installStream, or 1 when the copy of
// the stream could not be written whole.
int installFromStandardInput(InstallContext& context, const RunOptions& options,
                             FsTransaction& transaction, OutputFile& image,
                             std::string& databaseDir, bool& bootImage) {
    InputFile input(kStreamBlockSize);
    input.attachStandardInput();
    int result = installStream(context, transaction, input, options.installFlags | kAllowUpgrade,
                               UserStateMap(), image.rdbuf(), &databaseDir, &bootImage);
    // Where the package format makes a cut stream a silent refusal, a stream
    // that failed to read still says so.
    if (result != 0 && input.readError() != 0 && input.readError() != EINTR)
        context.console.reportError("could not read standard input: %s",
                                    std::strerror(input.readError()));
    // The copy matters only to a package kept whole.
    if (!image.close() && result == 0 && !databaseDir.empty()) {
        context.console.reportError("could not write %s: %s", streamImageWritePath().c_str(),
                                    std::strerror(image.writeError()));
        result = 1;
    }
    return result;
}

}  // namespace

int stoppedStatus() {
    return kSignalStatusBase + stopSignal();
}

bool reportWriteFailure(InstallContext& context, const FsTransaction& transaction) {
    if (!transaction.writeFailed()) return false;
    context.console.reportError("could not write %s: %s", transaction.failedPath().c_str(),
                                std::strerror(transaction.writeError()));
    return true;
}

bool commitUnlessStopped(FsTransaction& transaction) {
    StopSignalHold hold;
    if (stopSignal() != 0) {
        transaction.cancel();
        return false;
    }
    return transaction.commit(nullptr);
}

int commitStoredTransaction(InstallContext& context, TempRegistry& registry) {
    FsTransaction transaction(&registry);
    bool ioError = false;
    readManifest(transaction, kManifestPath, &ioError);
    if (ioError) {
        // Part of a saved transaction must never be applied as if it were all.
        context.console.reportError("could not read %s", kManifestPath);
        return 1;
    }
    context.console.out() << "finishing install... ";
    context.console.out().flush();
    bool applied;
    {
        // A saved transaction is completed whatever arrives meanwhile.
        StopSignalHold hold;
        Spinner spinner(context.console.out());
        applied = transaction.commit(&spinner);
    }
    // The space lands over the spinner's last character.
    context.console.out() << "\b \n";
    context.console.out().flush();
    // Once every move is done the temporary files are gone; after a failure
    // they stay recorded for a repeated commit.
    if (applied) registry.reclaim({});
    if (stopSignal() != 0) return stoppedStatus();
    return applied ? 0 : 1;
}

int cancelStoredTransaction(TempRegistry& registry) {
    FsTransaction transaction(&registry);
    readManifest(transaction, kManifestPath);
    transaction.cancel();
    // The temporary files the saved transaction would have moved go with it.
    registry.reclaim({});
    unlink(kManifestPath);
    return stopSignal() != 0 ? stoppedStatus() : 0;
}

int runListingMode(InstallContext& context) {
    listPackages(context);
    return 0;
}

int runCleanupMode(InstallContext& context, TempRegistry& registry) {
    FsTransaction transaction(&registry);
    runCleanup(context, transaction);
    int result = 0;
    if (reportWriteFailure(context, transaction)) {
        transaction.cancel();
        result = 1;
    } else if (!commitUnlessStopped(transaction)) {
        result = 1;
    }
    registry.finish(false);
    return stopSignal() != 0 ? stoppedStatus() : result;
}

int runStreamInstallMode(InstallContext& context, const RunOptions& options,
                         TempRegistry& registry) {
    FsTransaction transaction(&registry);
    applyPlan(context, transaction, 1);

    OutputFile image(kStreamBlockSize);
    if (!openImageCopy(registry, image)) {
        context.console.out() << "ERROR: could not open image\n";
        context.console.out().flush();
        transaction.cancel();
        registry.finish(false);
        return kExitImageUnwritable;
    }
    std::string databaseDir;
    bool bootImage = false;
    int result =
        installFromStandardInput(context, options, transaction, image, databaseDir, bootImage);
    if (result == 0 && reportWriteFailure(context, transaction)) result = 1;
    if (result == 0 && stopSignal() == 0) {
        placeStreamImage(transaction, databaseDir, bootImage);
        if (!checkSpace(transaction, MissingMount::Passes)) {
            context.console.reportError("not enough space for upgrade");
            result = kExitNoSpace;
        }
    }
    if (result != 0 || stopSignal() != 0) {
        // What was staged belongs to a package that did not install (its
        // signature may not even have been checked): none of it is applied.
        transaction.cancel();
    } else if (!commitUnlessStopped(transaction)) {
        result = 1;
    }
    dropImageCopy(registry);
    context.console.writePostLog();
    registry.finish(false);
    return stopSignal() != 0 ? stoppedStatus() : result;
}
