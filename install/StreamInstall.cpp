#include "install/StreamInstall.h"

#include <cerrno>
#include <cstdlib>

#include "database/DatabaseWriter.h"
#include "database/PackageDatabase.h"
#include "install/ApplyPlan.h"
#include "install/MultiPackage.h"
#include "install/PackageRemoval.h"
#include "model/InstallContext.h"
#include "model/PackageReports.h"
#include "package/FileContainer.h"
#include "package/InstallProgress.h"
#include "package/PackageHeader.h"
#include "package/PartReader.h"
#include "signature/SignatureVerifier.h"
#include "transaction/FsTransaction.h"
#include "transaction/TempFiles.h"

namespace {

const uint32_t kStreamPartTypes[] = {
    kPartHeader,   kPartBundleHeader, kPartDefaultOff, kPartArchitecture,  kPartDependencies,
    kPartProvides, kPartConflicts,    kPartImage,      kPartFileContainer, kPartSignature};

// A refused or omitted member leaves the stream on the next member's header.
void skipToNextMember(PartReader& reader) {
    while (reader.currentType != kPartHeader && reader.good()) reader.nextPart();
}

void skipImagePart(Reporter& reporter, PackageRecord& record, PartReader& reader) {
    uint32_t left = reader.partLength();
    while (left > 0) {
        showInstallProgress(reporter, record, reader);
        uint32_t step = left < kImageSkipStep ? left : kImageSkipStep;
        left -= step;
        // A stream that ends inside the part ends the skip: a damaged length
        // must not keep the loop drawing progress for gigabytes never sent.
        if (!reader.seekg(step, std::ios::cur)) break;
    }
    reader.nextPart();
}

// The state the user chose for the package, if any; enabled otherwise.
void applyUserState(PackageRecord& record, const UserStateMap& userStates) {
    auto forced = userStates.find(record.name);
    if (forced != userStates.end()) {
        record.disabled = forced->second;
        record.userForced = true;
    } else {
        record.disabled = false;
    }
}

// A recorded package takes the place of the installed one of its name.
void removeReplaced(InstallContext& context, FsTransaction& transaction, const PartReader& reader,
                    const std::string& name) {
    if (reader.isUnrecorded()) return;
    if (PackageRecord* old = findByName(context, name)) {
        removePackage(*old, transaction);
        context.release(old);
    }
}

// The package's header, in the bundle it comes with; null, reported when its
// texts are damaged, when it cannot be read.
std::unique_ptr<PackageRecord> readHeader(InstallContext& context, PartReader& reader,
                                          const PackageRange* bundleRef) {
    auto record = std::make_unique<PackageRecord>();
    bool brokenText = false;
    bool parsed = parsePackageHeader(*record, reader, &brokenText);
    if (bundleRef != nullptr) record->bundle = *bundleRef;
    if (parsed) return record;
    if (brokenText) reportBrokenPackage(context.console, *record);
    return nullptr;
}

}  // namespace

bool imageCopyWritten(Reporter& reporter, const PackageRecord& record, FsTransaction& transaction,
                      PartReader& reader) {
    std::streambuf* copy = reader.partBuffer().copyTarget();
    if (copy == nullptr || copy->pubsync() == 0) return true;
    transaction.noteWriteFailure(streamImagePath(), errno);
    reportCreateFailure(reporter, record, streamImageWritePath());
    return false;
}

bool isSafePackageName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x21 || c == '/') return false;
    return true;
}

bool bootImageRequested() {
    return std::getenv(kBootImageVariable) != nullptr;
}

int installStream(InstallContext& context, FsTransaction& transaction, std::istream& stream,
                  InstallFlags flags, const UserStateMap& userStates, std::streambuf* copySink,
                  std::string* outDatabaseDir, bool* outBootImage, bool* outOmitted,
                  SignatureVerifier* verifier) {
    SignatureVerifier ownKeys;
    SignatureVerifier& keys = verifier != nullptr ? *verifier : ownKeys;
    PartReader reader(stream, true, copySink);
    reader.acceptedTypes.assign(std::begin(kStreamPartTypes), std::end(kStreamPartTypes));
    reader.nextPart();
    if (outOmitted) *outOmitted = false;
    if (reader.currentType == kPartBundleHeader)
        return installMultiPackage(context, transaction, reader, flags, userStates, outDatabaseDir,
                                   outBootImage, outOmitted, keys);
    PackageInstallResult result = installPackage(context, transaction, reader, flags, userStates,
                                                 nullptr, outDatabaseDir, outBootImage, keys);
    if (result.outcome == InstallOutcome::Omitted) {
        // Nothing of an omitted package is placed, its image included.
        if (outDatabaseDir) outDatabaseDir->clear();
        if (outOmitted) *outOmitted = true;
        return 0;
    }
    return result.outcome == InstallOutcome::Installed ? 0 : 1;
}

PackageInstallResult installPackage(InstallContext& context, FsTransaction& transaction,
                                    PartReader& reader, InstallFlags flags,
                                    const UserStateMap& userStates, const PackageRange* bundleRef,
                                    std::string* outDatabaseDir, bool* outBootImage,
                                    SignatureVerifier& verifier) {
    PackageInstallResult result;
    bool inBundle = bundleRef != nullptr;
    std::unique_ptr<PackageRecord> record = readHeader(context, reader, bundleRef);
    if (!record) return result;
    result.name = record->name;
    if (!isSafePackageName(record->name)) {
        reportBrokenPackage(context.console, *record);
        return result;
    }
    if (record->hasImagePart && outDatabaseDir) *outDatabaseDir = packageDirectory(*record);

    // Members are judged silently; a single package's conflicts only make it
    // install disabled, so they are not reported either.
    InstallFlags checkFlags = inBundle ? kMemberCheckFlags : (flags | kQuietConflicts);
    bool sameAsInstalled = false;
    CheckResult check = checkInstall(context, *record, inBundle, checkFlags, &sameAsInstalled);

    if (sameAsInstalled) {
        result.outcome = InstallOutcome::Omitted;
        result.record = findByName(context, record->name);
        if (inBundle) skipToNextMember(reader);
        return result;
    }

    applyUserState(*record, userStates);
    if (check.has(kCheckConflict)) {
        check = check.without(kCheckConflict);
        record->disabled = true;
    }
    if (refuses(check, flags, kCheckReinstall)) {
        result.outcome = InstallOutcome::Refused;
        if (inBundle) {
            skipToNextMember(reader);
            result.record = findByName(context, record->name);
        }
        return result;
    }

    removeReplaced(context, transaction, reader, record->name);
    if (!installContents(context, *record, transaction, reader, verifier)) return result;

    bool bootFlag = (record->flags & kFlagBootImage) != 0;
    PackageRecord* installed = context.append(std::move(record));
    applyPlan(context, transaction, 0);
    if (outBootImage) *outBootImage = bootFlag && bootImageRequested();
    result.outcome = InstallOutcome::Installed;
    // The plan may have taken the new record out again; never hand out a
    // dangling pointer.
    result.record = findByName(context, result.name) == installed ? installed : nullptr;
    return result;
}

bool installContents(InstallContext& context, PackageRecord& record, FsTransaction& transaction,
                     PartReader& reader, SignatureVerifier& verifier) {
    showInstallProgress(context.console, record, reader);
    bool recorded = !reader.isUnrecorded();
    if (recorded && !reclaimDatabaseDir(record, transaction)) return false;

    if (reader.currentType == kPartImage) skipImagePart(context.console, record, reader);

    if (reader.currentType == kPartFileContainer) {
        bool keepForBoot = bootImageRequested() && (record.flags & kFlagBootImage) != 0;
        if (!keepForBoot && !extractFileContainer(context.console, record, transaction, reader))
            return false;
        reader.nextPart();
    }

    if (reader.currentType != kPartSignature || !verifier.check(reader.partBuffer())) {
        reportBrokenPackage(context.console, record);
        return false;
    }
    // A package kept whole needs the copy of the stream whole: a full flash
    // must not leave a cut image to be stored, or to boot from.
    if (record.hasImagePart && !imageCopyWritten(context.console, record, transaction, reader))
        return false;
    // The signature is the package's last part: show the bar complete before
    // the package is announced.
    showInstallProgress(context.console, record, reader);
    reader.nextPart();
    if (recorded && !writeDatabaseEntry(context.console, record, transaction)) return false;
    if ((record.flags & kFlagBootImage) &&
        !writeStagedFile(transaction, kUpgradedMarkerPath, 1, 0, std::string())) {
        reportCreateFailure(context.console, record, kUpgradedMarkerPath);
        return false;
    }
    if (record.bundle.name.empty()) {
        context.console.setStatus(std::string());
        context.console.reportInfo("installed %s%s", record.disabled ? "(disabled) " : "",
                                   nameWithVersion(record).c_str());
    }
    return true;
}
