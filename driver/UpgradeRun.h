#pragma once
// The default run: installs the package files uploaded to flash.
#include <memory>
#include <string>
#include <vector>

#include "package/PackageHeader.h"
#include "planning/Eligibility.h"

class InstallContext;
class FsTransaction;

constexpr const char* kDowngradeMarker = "/rw/DOWNGRADE";
constexpr const char* kUploadDirectory = "/flash/rw/pckg/";
constexpr const char* kFallbackUploadDirectory = "/flash/var/pckg/";
constexpr size_t kImageTargetBufferSize = 128;

enum class UpgradeOutcome {
    Staged,     // the transaction holds the upgrade (possibly nothing)
    Cancelled,  // a package was refused or broken, or none would be left
    Failed,     // the flash failed: an upload could not be read, a file not written
};

// Stages the upgrade; the transaction is empty unless the outcome is Staged.
UpgradeOutcome runUpgrade(InstallContext& context, FsTransaction& transaction, InstallFlags flags);
// Appends a loaded PackageFile for every usable package file in directory
// (a path ending in "/"). False when a package file could not be read for a
// fault of the flash (it is reported as broken like any other).
bool scanPackageDir(InstallContext& context, const std::string& directory,
                    std::vector<std::unique_ptr<PackageFile>>& candidates);
// The record of that name or providing it, an enabled one preferred.
PackageRecord* lookupPackage(InstallContext& context, const std::string& name);
