// Carrying out what the planner decided: state files for enabling and
// disabling, and the removal of everything an uninstalled package left on flash.
#include "install/PackageRemoval.h"

#include <sys/stat.h>

#include <memory>

#include "database/DatabaseWriter.h"
#include "database/PackageDatabase.h"
#include "model/InstallContext.h"
#include "transaction/FsTransaction.h"

namespace {

constexpr const char kFlashPrefix[] = "/flash/";
constexpr const char kStoredImageName[] = "image";

// Installed files always lie below the flash root; any other entry (a damaged
// list, say) names nothing this program put there.
bool isInstalledPath(const std::string& path) {
    const size_t prefixLength = sizeof kFlashPrefix - 1;
    return path.size() > prefixLength && path.compare(0, prefixLength, kFlashPrefix) == 0;
}

}  // namespace

void enablePackages(InstallContext& context, FsTransaction& transaction,
                    const std::vector<PackageRecord*>& list, int verbosity) {
    for (PackageRecord* r : list) {
        const std::string shown = nameWithVersion(*r);
        if (verbosity != 0) context.console.setStatus("enabling " + shown + "...");
        markEnabled(*r, transaction);
        if (verbosity != 0) context.console.reportInfo("enabled %s", shown.c_str());
    }
}

void disableOrUninstallPackages(InstallContext& context, FsTransaction& transaction,
                                const std::vector<PackageRecord*>& list, int verbosity) {
    for (PackageRecord* r : list) {
        const std::string shown = nameWithVersion(*r);
        if (r->pendingAction != kActionUninstall) {
            if (verbosity != 0) context.console.setStatus("disabling " + shown + "...");
            markDisabled(*r, transaction);
            if (verbosity != 0) context.console.reportInfo("disabled %s", shown.c_str());
            continue;
        }
        if (verbosity >= 2) context.console.setStatus("uninstalling " + shown + "...");
        removePackage(*r, transaction);
        std::unique_ptr<PackageRecord> gone = context.release(r);
        if (verbosity >= 2) context.console.reportInfo("uninstalled %s", shown.c_str());
    }
}

bool uninstallByName(InstallContext& context, FsTransaction& transaction, const std::string& name) {
    for (const auto& r : context.packages) {
        if (!sameName(r->name, name)) continue;
        removePackage(*r, transaction);
        context.release(r.get());
        return true;
    }
    return false;
}

void removePackage(PackageRecord& record, FsTransaction& transaction) {
    removePackageFiles(record, transaction);
    removeDatabaseEntry(record, transaction);
    record.pendingAction = kActionNone;
}

void removePackageFiles(PackageRecord& record, FsTransaction& transaction) {
    // Each entry is the full path the file was installed at. A path that is a
    // directory now is no file of the package's (a damaged list, or an entry
    // that named a directory): emptying it would take other packages' files.
    for (const std::string& path : record.files) {
        struct stat info;
        if (!isInstalledPath(path)) continue;
        if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        transaction.remove(path);
    }
    record.files.clear();
}

void removeDatabaseEntry(PackageRecord& record, FsTransaction& transaction) {
    const std::string directory = packageDirectory(record);
    transaction.remove(directory);
    transaction.remove(directory + kStoredImageName);
    if (record.flags & kFlagBootImage) {
        // A boot image with more links is still in use under another name.
        struct stat info;
        if (::stat(kBootImagePath, &info) == 0 && info.st_nlink == 1)
            transaction.remove(kBootImagePath);
    }
}
