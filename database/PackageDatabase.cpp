#include "database/PackageDatabase.h"

#include <dirent.h>

#include <fstream>
#include <memory>

#include "driver/InstallContext.h"
#include "package/PackageHeader.h"
#include "package/PartReader.h"

namespace {

// The scan wants names, versions and lists only: architecture (16), description
// (2), the image part (21), the container and the signature are passed over, and
// with hashing off the reader passes them by seeking, so an image is never read
// whole.
const uint32_t kImageScanTypes[] = {kPartBundleHeader, kPartHeader,   kPartAuxText,  kPartNote,
                                    kPartDependencies, kPartProvides, kPartConflicts};

constexpr size_t kImageScanBufferSize = 512;

bool isHidden(const char* name) {
    return name[0] == '.';
}

bool hasRecordNamed(const InstallContext& context, const std::string& name) {
    for (const auto& record : context.packages)
        if (sameName(record->name, name)) return true;
    return false;
}

// Reads the header parts of one image into record; a bundle's members go into
// the context's list ahead of the bundle itself.
void scanImage(InstallContext& context, std::unique_ptr<PackageRecord> record,
               std::istream& image) {
    PartReader reader(image, false, nullptr);
    reader.acceptedTypes.assign(std::begin(kImageScanTypes), std::end(kImageScanTypes));
    if (reader.nextPart() == kPartBundleHeader) {
        parsePackageHeader(*record, reader);
        PackageRange bundleRef;
        bundleRef.name = record->name;
        bundleRef.min = record->version;
        bundleRef.max = record->version;
        while (reader.currentType == kPartHeader) {
            auto member = std::make_unique<PackageRecord>();
            // A member header too short to parse leaves the reader failed on the
            // same part; moving on ends the loop instead of spinning on it.
            if (!parsePackageHeader(*member, reader) && reader.currentType == kPartHeader)
                reader.nextPart();
            member->bundle = bundleRef;
            context.append(std::move(member));
        }
    } else {
        parsePackageHeader(*record, reader);
    }
    context.append(std::move(record));
}

}  // namespace

std::string packageDirectory(const PackageInfo& record) {
    return kDatabaseRoot + record.name + "/";
}

bool loadPackageImages(InstallContext& context, const std::string& prefix,
                       bool fromImageDirectory) {
    // Images are looked up for the packages the database lists, whichever of the
    // two places holds them.
    DIR* directory = opendir(kDatabaseRoot);
    if (!directory) return false;
    while (dirent* entry = readdir(directory)) {
        if (isHidden(entry->d_name)) continue;
        auto record = std::make_unique<PackageRecord>(entry->d_name);
        std::string path =
            fromImageDirectory ? prefix + entry->d_name : packageDirectory(*record) + "image";
        // Every part the scan passes over is a seek, and a seek throws away what
        // the file buffer had read ahead; a small buffer keeps that waste small.
        char readAhead[kImageScanBufferSize];
        std::ifstream image;
        image.rdbuf()->pubsetbuf(readAhead, sizeof readAhead);
        image.open(path, std::ios::binary);
        if (!image.is_open()) continue;
        scanImage(context, std::move(record), image);
    }
    closedir(directory);
    return true;
}

void loadInstalledPackages(InstallContext& context, bool quiet, const std::string& architecture) {
    context.quiet = quiet;
    context.architecture = architecture;
    if (!loadPackageImages(context, kDatabaseRoot, false)) {
        context.reportWarning("could not open repo");
        return;
    }
    loadPackageImages(context, kImageDirectory, true);

    DIR* directory = opendir(kDatabaseRoot);
    if (!directory) return;
    for (const auto& record : context.packages) readDatabaseEntry(*record);
    while (dirent* entry = readdir(directory)) {
        if (isHidden(entry->d_name) || hasRecordNamed(context, entry->d_name)) continue;
        auto record = std::make_unique<PackageRecord>(entry->d_name);
        readDatabaseEntry(*record);
        context.append(std::move(record));
    }
    closedir(directory);
}
