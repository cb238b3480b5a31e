#include "database/PackageDatabase.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <memory>
#include <set>

#include "model/InstallContext.h"
#include "package/PackageHeader.h"
#include "package/PartReader.h"
#include "platform/FileInput.h"
#include "platform/Handles.h"

namespace {

// The scan wants names, versions and lists only: architecture (16), description
// (2), the image part (21), the container and the signature are passed over, and
// with hashing off the reader passes them by seeking, so an image is never read
// whole.
const uint32_t kImageScanTypes[] = {kPartBundleHeader, kPartHeader,   kPartAuxText,  kPartNote,
                                    kPartDependencies, kPartProvides, kPartConflicts};

constexpr size_t kImageScanBufferSize = 4096;

bool isHidden(const char* name) {
    return name[0] == '.';
}

bool hasRecordNamed(const InstallContext& context, const std::string& name) {
    for (const auto& record : context.packages)
        if (sameName(record->name, name)) return true;
    return false;
}

// A package entry is a directory; the stream install's image copy beside the
// entries is not one, even when a killed run left it behind.
bool isStreamImageCopy(const char* name) {
    if (std::string(name) != kImageFileName) return false;
    struct stat st;
    return lstat(streamImagePath().c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

// Reads the header parts of one image into record; a bundle's members come
// first in records, the bundle itself last.
void scanImage(std::unique_ptr<PackageRecord> record, std::istream& image,
               std::vector<std::unique_ptr<PackageRecord>>& records) {
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
            // A member without a name is no package: as a record, the database
            // root would be its entry, for a later uninstall to empty.
            if (member->name.empty()) continue;
            member->bundle = bundleRef;
            records.push_back(std::move(member));
        }
    } else {
        parsePackageHeader(*record, reader);
    }
    records.push_back(std::move(record));
}

// Directory entries, in directory order, without hidden ones; false when the
// directory cannot be opened or read to its end (errno tells why).
bool listEntries(std::vector<std::string>& names) {
    int error;
    {
        DirHandle directory(opendir(kDatabaseRoot));
        if (!directory) return false;
        for (;;) {
            errno = 0;
            dirent* entry = readdir(directory.get());
            if (!entry) break;
            if (!isHidden(entry->d_name) && !isStreamImageCopy(entry->d_name))
                names.push_back(entry->d_name);
        }
        error = errno;
    }
    errno = error != 0 ? error : 0;
    return error == 0;
}

// Appends the records an image describes; false when it exists but cannot be
// read (the entry is then not read at all).
bool loadImage(InstallContext& context, const std::string& name, const std::string& path,
               DatabaseReadErrors* errors) {
    InputFile image(kImageScanBufferSize);
    OpenResult opened = image.open(path);
    if (opened == OpenResult::Missing) return true;
    std::vector<std::unique_ptr<PackageRecord>> records;
    if (opened == OpenResult::Opened)
        scanImage(std::make_unique<PackageRecord>(name), image, records);
    if (opened == OpenResult::Unreadable || image.readError() != 0) {
        if (errors) errors->push_back(path);
        return false;
    }
    for (auto& record : records) context.append(std::move(record));
    return true;
}

}  // namespace

std::string packageDirectory(const PackageInfo& record) {
    return kDatabaseRoot + record.name + "/";
}

bool loadPackageImages(InstallContext& context, const std::string& prefix, bool fromImageDirectory,
                       DatabaseReadErrors* errors, std::set<std::string>* unreadableNames) {
    // Images are looked up for the packages the database lists, whichever of the
    // two places holds them.
    std::vector<std::string> names;
    if (!listEntries(names) && names.empty()) return false;
    for (const std::string& name : names) {
        if (unreadableNames && unreadableNames->count(name) != 0) continue;
        std::string path = fromImageDirectory ? prefix + name : packageImagePath(name);
        if (!loadImage(context, name, path, errors) && unreadableNames)
            unreadableNames->insert(name);
    }
    return true;
}

DatabaseReadErrors loadInstalledPackages(InstallContext& context, bool quiet,
                                         const std::string& architecture) {
    context.console.quiet = quiet;
    context.architecture = architecture;
    DatabaseReadErrors errors;
    std::set<std::string> unreadableNames;
    std::vector<std::string> names;
    if (!listEntries(names)) {
        // No database at all is a router without packages yet; one that is
        // there but cannot be read is not acted on.
        if (names.empty() && (errno == ENOENT || errno == ENOTDIR)) {
            context.console.reportWarning("could not open repo");
            return errors;
        }
        errors.push_back(kDatabaseRoot);
        return errors;
    }
    loadPackageImages(context, kDatabaseRoot, false, &errors, &unreadableNames);
    loadPackageImages(context, kImageDirectory, true, &errors, &unreadableNames);

    // Records whose files cannot be read are left out: nothing may act on what
    // is not known.
    std::vector<std::unique_ptr<PackageRecord>> loaded = std::move(context.packages);
    context.packages.clear();
    for (auto& record : loaded) {
        if (readDatabaseEntry(*record, &errors))
            context.append(std::move(record));
        else
            unreadableNames.insert(record->name);
    }
    for (const std::string& name : names) {
        if (unreadableNames.count(name) != 0 || hasRecordNamed(context, name)) continue;
        auto record = std::make_unique<PackageRecord>(name);
        if (readDatabaseEntry(*record, &errors)) context.append(std::move(record));
    }
    return errors;
}
