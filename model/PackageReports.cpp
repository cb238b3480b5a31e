#include "model/PackageReports.h"

#include <cerrno>
#include <cstring>

#include "model/Reporter.h"

std::string displayName(const PackageRecord& record) {
    if (!record.bundle.name.empty()) return rangeText(record.bundle);
    return nameWithVersion(record);
}

void reportCreateFailure(Reporter& reporter, const PackageRecord& record, const std::string& path) {
    int error = errno;
    std::string shown = displayName(record);
    if (error == ENOSPC)
        reporter.reportError("installation of %s failed: disk is too small", shown.c_str());
    else if (error == EIO)
        reporter.reportError("installation of %s failed: disk error", shown.c_str());
    else
        reporter.reportError("installation of %s failed: could not create %s: %s", shown.c_str(),
                             path.c_str(), std::strerror(error));
}

void reportBrokenPackage(Reporter& reporter, const PackageRecord& record) {
    reporter.reportError("installation of %s failed: broken package", displayName(record).c_str());
}
