#include "package/InstallProgress.h"

#include "model/PackageReports.h"
#include "model/Reporter.h"
#include "package/PartReader.h"

void showInstallProgress(Reporter& reporter, const PackageRecord& record, PartReader& reader) {
    std::string label = "installing ";
    // Members are shown under their bundle, which has no state of its own to show.
    if (record.disabled && record.bundle.name.empty()) label += " (disabled) ";
    label += displayName(record);
    // The position inside the payload is what tellg would answer, but tellg
    // gives -1 once a read has reached the end of the part; the buffer's own
    // count does not depend on the stream state.
    const PartStreambuf& buffer = reader.partBuffer();
    uint32_t inPart = buffer.partLength() - buffer.remaining();
    reporter.showProgress(label, reader.partOffset() + inPart, reader.expectedSize);
}
