#include "planning/InstallReports.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "database/PackageDatabase.h"
#include "driver/InstallContext.h"
#include "package/PartReader.h"
#include "transaction/FsTransaction.h"

void showInstallProgress(const PackageRecord& record, PartReader& reader) {
    std::string label = "installing ";
    // Members are shown under their bundle, which has no state of its own to show.
    if (record.disabled && record.bundle.name.empty()) label += " (disabled) ";
    label += displayName(record);
    // The position inside the payload is what tellg would answer, but tellg
    // gives -1 once a read has reached the end of the part; the buffer's own
    // count does not depend on the stream state.
    const PartStreambuf& buffer = reader.partBuffer();
    uint32_t inPart = buffer.partLength() - buffer.remaining();
    InstallContext::instance().showProgress(label, reader.partOffset() + inPart,
                                            reader.expectedSize);
}

std::string displayName(const PackageRecord& record) {
    if (!record.bundle.name.empty()) return rangeText(record.bundle);
    return nameWithVersion(record);
}

void reportCreateFailure(const PackageRecord& record, const std::string& path) {
    int error = errno;
    std::string shown = displayName(record);
    InstallContext& context = InstallContext::instance();
    if (error == ENOSPC)
        context.reportError("installation of %s failed: disk is too small", shown.c_str());
    else if (error == EIO)
        context.reportError("installation of %s failed: disk error", shown.c_str());
    else
        context.reportError("installation of %s failed: could not create %s: %s", shown.c_str(),
                            path.c_str(), std::strerror(error));
}

void reportBrokenPackage(const PackageRecord& record) {
    InstallContext::instance().reportError("installation of %s failed: broken package",
                                           displayName(record).c_str());
}

bool reclaimDatabaseDir(const PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    if (!transaction.claimDirectory(directory)) return false;
    // The trailing slash makes stat fail with ENOTDIR on a plain file, which the
    // claim takes for a path that does not exist; the name itself must not be
    // anything but a directory either.
    struct stat st;
    std::string bare = directory.substr(0, directory.size() - 1);
    return stat(bare.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}
