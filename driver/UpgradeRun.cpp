#include "driver/UpgradeRun.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <unordered_map>

#include "install/PackageRemoval.h"
#include "install/StreamInstall.h"
#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"
#include "platform/FileInput.h"
#include "platform/Handles.h"
#include "transaction/DatabasePaths.h"
#include "transaction/FsTransaction.h"

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool hasControlOrBlank(const std::string& name) {
    for (unsigned char c : name)
        if (c < 0x21) return true;
    return false;
}

constexpr size_t kCandidateBlockSize = 65536;

// The records reached by each name, their own or one they provide, in list
// order: a set of packages that provide tens of thousands of names each is
// looked up once per name, which a scan of every provides list would make
// quadratic.
class NameIndex {
public:
    explicit NameIndex(InstallContext& context) {
        for (const auto& record : context.packages) {
            add(record->name, record.get());
            for (const PackageRange& p : record->provides) add(p.name, record.get());
        }
    }
    const std::vector<PackageRecord*>& reached(const std::string& name) const {
        static const std::vector<PackageRecord*> kNone;
        auto it = index_.find(name);
        return it == index_.end() ? kNone : it->second;
    }

private:
    void add(const std::string& name, PackageRecord* record) {
        std::vector<PackageRecord*>& list = index_[name];
        if (list.empty() || list.back() != record) list.push_back(record);
    }
    std::unordered_map<std::string, std::vector<PackageRecord*>> index_;
};

// The first enabled record reached by the name, else the last one reached.
PackageRecord* preferEnabled(const std::vector<PackageRecord*>& reached) {
    for (PackageRecord* record : reached)
        if (!record->disabled) return record;
    return reached.empty() ? nullptr : reached.back();
}

void placeCandidateImage(FsTransaction& transaction, const PackageFile& candidate, bool bootImage) {
    char target[kImageTargetBufferSize];
    std::snprintf(target, sizeof target, "%s", packageImagePath(candidate.name).c_str());
    if (bootImage) {
        transaction.move(candidate.path, kBootImagePath);
        transaction.link(kBootImagePath, target);
    } else {
        transaction.move(candidate.path, target);
    }
}

}  // namespace

bool scanPackageDir(InstallContext& context, const std::string& directory,
                    std::vector<std::unique_ptr<PackageFile>>& candidates) {
    DirHandle dir(opendir(directory.c_str()));
    if (!dir) {
        // A missing directory holds nothing; one that fails to open is a fault.
        if (errno == ENOENT || errno == ENOTDIR) return true;
        context.console.reportError("could not read %s", directory.c_str());
        return false;
    }
    bool readable = true;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string path = directory + name;
        if (!endsWith(path, ".npk") && !endsWith(path, ".dpk")) continue;
        auto file = std::make_unique<PackageFile>();
        // The manifest's lines are split at spaces, so a file whose name holds
        // a blank or control byte could not be staged safely.
        bool ioError = false;
        if (hasControlOrBlank(name) || !loadPackageFile(*file, path, &ioError)) {
            context.console.reportError("broken package %s", name.c_str());
            if (ioError) readable = false;
            continue;
        }
        candidates.push_back(std::move(file));
    }
    return readable;
}

PackageRecord* lookupPackage(InstallContext& context, const std::string& name) {
    return preferEnabled(NameIndex(context).reached(name));
}

namespace {

// The states the user chose, and the names (of packages and what they provide)
// that were enabled before the upgrade.
void noteStates(InstallContext& context, UserStateMap& userStates,
                std::set<std::string>& wasEnabled) {
    for (const auto& record : context.packages) {
        if (record->userForced) userStates.emplace(record->name, record->disabled);
        if (!record->disabled) {
            wasEnabled.insert(record->name);
            for (const PackageRange& p : record->provides) wasEnabled.insert(p.name);
        }
    }
}

// What was enabled before and came out disabled is enabled again, unless an
// enabled package excludes it.
void reenable(InstallContext& context, FsTransaction& transaction,
              const std::set<std::string>& wasEnabled) {
    std::vector<PackageRecord*> list;
    NameIndex index(context);
    for (const std::string& name : wasEnabled) {
        PackageRecord* record = preferEnabled(index.reached(name));
        if (record && record->disabled && !findExcluder(context, *record)) list.push_back(record);
    }
    enablePackages(context, transaction, list, 1);
}

}  // namespace

namespace {

// Installs one uploaded file into the transaction; on failure the whole
// upgrade is cancelled.
UpgradeOutcome installCandidate(InstallContext& context, FsTransaction& transaction,
                                const PackageFile& candidate, InstallFlags flags,
                                const UserStateMap& userStates, SignatureVerifier& verifier) {
    InputFile file(kCandidateBlockSize);
    bool bootImage = false;
    bool omitted = false;
    int result = 1;
    if (file.open(candidate.path) == OpenResult::Opened)
        result = installStream(context, transaction, file, flags, userStates, nullptr, nullptr,
                               &bootImage, &omitted, &verifier);
    // A file the flash failed to deliver whole: the install may have failed
    // without a word.
    if (!file.isOpen() || (result != 0 && file.readError() != 0 && file.readError() != EINTR))
        context.console.reportError("broken package %s",
                                    candidate.path.substr(candidate.path.rfind('/') + 1).c_str());
    if (result != 0) {
        // One failed package fails the whole upgrade: nothing of it is applied.
        bool fault = !file.isOpen() || file.readError() != 0 || transaction.writeFailed();
        transaction.cancel();
        return fault ? UpgradeOutcome::Failed : UpgradeOutcome::Cancelled;
    }
    if (!omitted && candidate.hasImagePart) placeCandidateImage(transaction, candidate, bootImage);
    return UpgradeOutcome::Staged;
}

}  // namespace

UpgradeOutcome runUpgrade(InstallContext& context, FsTransaction& transaction, InstallFlags flags) {
    struct stat st;
    if (stat(kDowngradeMarker, &st) == 0) {
        flags |= kAllowDowngrade;
        unlink(kDowngradeMarker);
    }

    std::vector<std::unique_ptr<PackageFile>> owned;
    bool readable = scanPackageDir(context, kUploadDirectory, owned);
    if (owned.empty() && readable)
        readable = scanPackageDir(context, kFallbackUploadDirectory, owned);
    // An upload the flash failed to deliver is not a broken package: which
    // packages to install cannot be known, so none is.
    if (!readable) {
        transaction.cancel();
        return UpgradeOutcome::Failed;
    }
    std::vector<PackageFile*> candidates;
    for (const auto& file : owned) candidates.push_back(file.get());
    selectCandidates(context, candidates, flags.has(kAllowDowngrade), true);

    UserStateMap userStates;
    std::set<std::string> wasEnabled;
    noteStates(context, userStates, wasEnabled);

    if (!candidates.empty()) context.console.reservePostLog();

    // One verifier for every candidate: each key is prepared once per run.
    SignatureVerifier verifier;
    for (PackageFile* candidate : candidates) {
        UpgradeOutcome outcome =
            installCandidate(context, transaction, *candidate, flags, userStates, verifier);
        if (outcome != UpgradeOutcome::Staged) return outcome;
    }

    reenable(context, transaction, wasEnabled);

    if (context.packages.empty()) {
        context.console.reportError("router installation failed!!!");
        transaction.cancel();
        return UpgradeOutcome::Cancelled;
    }
    return UpgradeOutcome::Staged;
}
