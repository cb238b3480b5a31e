#include "install/MultiPackage.h"

#include <memory>
#include <set>
#include <vector>

#include "database/DatabaseWriter.h"
#include "database/PackageDatabase.h"
#include "install/ApplyPlan.h"
#include "install/PackageRemoval.h"
#include "model/InstallContext.h"
#include "model/PackageReports.h"
#include "package/PackageHeader.h"
#include "package/PartReader.h"

namespace {

// A record that nothing installs: its only role is to conflict with one member
// name, so that the member is judged excluded and installed disabled.
std::unique_ptr<PackageRecord> defaultOffRecord(const std::string& memberName) {
    auto record = std::make_unique<PackageRecord>();
    record->conflicts.push_back(PackageRange{memberName, 0, 0, 0});
    return record;
}

// Members named in the default-off part install disabled unless the user chose
// their state.
void addDefaultOffRecords(InstallContext& context, PartReader& reader,
                          const UserStateMap& userStates) {
    std::vector<PackageRange> defaultOff;
    readDependencyList(reader, defaultOff);
    for (const PackageRange& entry : defaultOff)
        if (userStates.find(entry.name) == userStates.end())
            context.append(defaultOffRecord(entry.name));
    reader.nextPart();
}

struct MemberRun {
    InstallContext& context;
    FsTransaction& transaction;
    PartReader& reader;
    InstallFlags flags;
    const UserStateMap& userStates;
    const PackageRange& bundleRef;
    SignatureVerifier& verifier;
};

// Installs the members that follow; counts those installed, omitted or already
// present in handled and takes their names out of oldMembers. False when a
// member failed.
bool installMembers(MemberRun& run, std::set<std::string>& oldMembers, int& handled,
                    bool* outBootImage) {
    while (run.reader.currentType == kPartHeader) {
        bool memberBoot = false;
        PackageInstallResult member =
            installPackage(run.context, run.transaction, run.reader, run.flags, run.userStates,
                           &run.bundleRef, nullptr, &memberBoot, run.verifier);
        if (member.outcome == InstallOutcome::Failed) {
            // A damaged member must not let the rest of the bundle pass as
            // installed, nor mark the unread members' old versions for removal.
            return false;
        }
        bool counted = member.outcome == InstallOutcome::Installed ||
                       member.outcome == InstallOutcome::Omitted || member.record != nullptr;
        if (!counted) continue;
        ++handled;
        oldMembers.erase(member.name);
        if (outBootImage && memberBoot) *outBootImage = true;
    }
    return true;
}

// The bundle's own header; null, reported when its texts are damaged, when it
// cannot be read or names no safe package.
std::unique_ptr<PackageRecord> readBundleHeader(InstallContext& context, PartReader& reader) {
    auto bundle = std::make_unique<PackageRecord>();
    bool brokenText = false;
    if (!parsePackageHeader(*bundle, reader, &brokenText)) {
        if (brokenText) reportBrokenPackage(context.console, *bundle);
        return nullptr;
    }
    if (!isSafePackageName(bundle->name)) {
        reportBrokenPackage(context.console, *bundle);
        return nullptr;
    }
    return bundle;
}

}  // namespace

int installMultiPackage(InstallContext& context, FsTransaction& transaction, PartReader& reader,
                        InstallFlags flags, const UserStateMap& userStates,
                        std::string* outDatabaseDir, bool* outBootImage, bool* outOmitted,
                        SignatureVerifier& verifier) {
    if (outBootImage) *outBootImage = false;
    std::unique_ptr<PackageRecord> bundle = readBundleHeader(context, reader);
    if (!bundle) return kBundleUnreadable;
    if (reader.currentType == kPartImage) reader.nextPart();
    if (bundle->hasImagePart && outDatabaseDir) *outDatabaseDir = packageDirectory(*bundle);

    bool sameAsInstalled = false;
    CheckResult check = checkInstall(context, *bundle, false, flags, &sameAsInstalled);
    if (sameAsInstalled) {
        // The same bundle is installed already: nothing of it is placed again.
        if (outDatabaseDir) outDatabaseDir->clear();
        if (outOmitted) *outOmitted = true;
        return kBundleInstalled;
    }
    if (refuses(check, flags, CheckResult())) return kBundleRefused;

    uninstallByName(context, transaction, bundle->name);
    if (!createDatabaseEntry(context.console, *bundle, transaction)) return kBundleUnreadable;

    PackageRange bundleRef{bundle->name, bundle->version, bundle->version, 0};
    if (PackageRecord* leftover = findByName(context, bundle->name)) context.release(leftover);
    // What reports the bundle by name once the plan may have replaced its record.
    PackageRecord shownBundle(bundle->name);
    shownBundle.version = bundle->version;
    shownBundle.hasImagePart = bundle->hasImagePart;
    context.append(std::move(bundle));

    std::set<std::string> oldMembers;
    for (const auto& record : context.packages)
        if (record->bundle.name == bundleRef.name) oldMembers.insert(record->name);

    if (reader.currentType == kPartDefaultOff) addDefaultOffRecords(context, reader, userStates);

    int handled = 0;
    MemberRun run{context, transaction, reader, flags, userStates, bundleRef, verifier};
    if (!installMembers(run, oldMembers, handled, outBootImage)) return kBundleUnreadable;
    // The members must run to the end of the stream as its file header declares
    // it. A stream cut short, or a part where a member header should be, has
    // lost members: installing the ones that arrived would pass a damaged
    // bundle off as complete.
    if (reader.currentType >= 0 || reader.partOffset() < reader.expectedSize)
        return kBundleUnreadable;
    if (handled == 0) return kBundleNoMember;
    if (shownBundle.hasImagePart &&
        !imageCopyWritten(context.console, shownBundle, transaction, reader))
        return kBundleUnreadable;

    for (const std::string& name : oldMembers)
        if (PackageRecord* old = findByName(context, name)) old->pendingAction = kActionUninstall;
    applyPlan(context, transaction, 0);
    context.console.setStatus(std::string());
    context.console.reportInfo("installed %s", rangeText(bundleRef).c_str());
    return kBundleInstalled;
}
