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

// False when the run failed (an install failed, an upload could not be read,
// or no package would be left); the transaction is then empty.
bool runUpgrade(InstallContext& context, FsTransaction& transaction, InstallFlags flags);
// Appends a loaded PackageFile for every usable package file in directory
// (a path ending in "/"). False when a package file could not be read for a
// fault of the flash (it is reported as broken like any other).
bool scanPackageDir(InstallContext& context, const std::string& directory,
                    std::vector<std::unique_ptr<PackageFile>>& candidates);
// The record of that name or providing it, an enabled one preferred.
PackageRecord* lookupPackage(InstallContext& context, const std::string& name);
