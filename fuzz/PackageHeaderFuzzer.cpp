// Header and metadata parsing over arbitrary bytes: once as a stream, the way
// an install reads a package, and once as a package file on disk through
// loadPackageFile, the way the upgrade run looks at uploaded files.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "fuzz/PrivateRoot.h"
#include "package/PackageHeader.h"
#include "platform/ByteOrder.h"

namespace {

using fuzzsupport::expectationFailed;

std::string packagePath;

void removePackageFile() {
    unlink(packagePath.c_str());
    rmdir(packagePath.substr(0, packagePath.rfind('/')).c_str());
}

void checkName(const PackageInfo& info) {
    if (info.name.size() > kNameFieldSize || info.name.find('\0') != std::string::npos)
        expectationFailed("a name longer than its field", info.name);
}

void parseStream(const std::string& bytes) {
    std::istringstream source(bytes);
    PartReader reader(source, true, nullptr);
    reader.acceptedTypes = {kPartBundleHeader, kPartHeader, kPartAuxText,      kPartArchitecture,
                            kPartDescription,  kPartNote,   kPartDependencies, kPartProvides,
                            kPartConflicts,    kPartImage};
    reader.nextPart();
    PackageRecord record;
    if (!parsePackageHeader(record, reader)) return;
    checkName(record);
    // Members follow a bundle header, each parsed into its own record.
    std::vector<std::unique_ptr<PackageRecord>> members;
    while (record.isBundle) {
        if (reader.currentType == kPartImage) reader.nextPart();
        if (reader.currentType != kPartHeader) break;
        auto member = std::make_unique<PackageRecord>();
        if (!parsePackageHeader(*member, reader)) break;
        checkName(*member);
        members.push_back(std::move(member));
    }
}

void loadFile(const uint8_t* data, size_t size) {
    fuzzsupport::writeFile(packagePath, std::string(reinterpret_cast<const char*>(data), size));
    PackageFile file;
    bool loaded = loadPackageFile(file, packagePath);
    if (size >= kFileHeaderSize &&
        file.expectedSize != load32le(data + 4) + static_cast<uint32_t>(kFileHeaderSize))
        expectationFailed("expected size misread", std::to_string(file.expectedSize));
    if (!loaded) return;
    if (size != file.expectedSize)
        expectationFailed("a file of the wrong size was loaded", std::to_string(size));
    bool unrecorded = load32le(data) == kMagicUnrecorded;
    if (unrecorded != (file.kind == PackageKind::Unrecorded))
        expectationFailed("package kind does not follow the magic", "");
    checkName(file);
    for (const auto& member : file.members) checkName(*member);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    packagePath = fuzzsupport::makeScratchDirectory("header") + "/package.npk";
    std::atexit(removePackageFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    parseStream(std::string(reinterpret_cast<const char*>(data), size));
    loadFile(data, size);
    return 0;
}
