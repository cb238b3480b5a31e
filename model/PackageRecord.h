#pragma once
// The metadata of a package (PackageInfo) and an installed package with its
// state (PackageRecord), shared by every subsystem that reasons about packages.
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/VersionNumber.h"

// Bits of PackageInfo::flags.
constexpr uint32_t kFlagBootImage = 1;   // the package carries the boot image
constexpr uint32_t kFlagNoMetadata = 2;  // no metadata files in the database

enum PendingAction : int32_t {
    kActionNone = 0,
    kActionUninstall = 1,
    kActionEnable = 2,
    kActionDisable = 3,
};

// "", "uninstall", "enable", "disable", indexed by PendingAction.
const char* actionWord(PendingAction action);

class PackageInfo {
public:
    PackageInfo() = default;
    explicit PackageInfo(std::string packageName) : name(std::move(packageName)) {}
    virtual ~PackageInfo() = default;
    PackageInfo(const PackageInfo&) = delete;
    PackageInfo& operator=(const PackageInfo&) = delete;
    PackageInfo(PackageInfo&&) = default;
    PackageInfo& operator=(PackageInfo&&) = default;

    std::string name;
    VersionNumber version = 0;
    uint32_t buildTime = 0;
    uint32_t flags = 0;
    std::string auxText;
    std::string architecture;
    std::string description;
    std::string note;
    bool hasImagePart = false;
    std::vector<PackageRange> dependencies;
    std::vector<PackageRange> provides;
    std::vector<PackageRange> conflicts;
    bool isBundle = false;
    // member headers of a bundle file; owned, destroyed with their owner
    std::vector<std::unique_ptr<PackageInfo>> members;
};

class PackageRecord : public PackageInfo {
public:
    explicit PackageRecord(std::string packageName = std::string())
        : PackageInfo(std::move(packageName)) {}

    // full paths beginning with "/flash", byte-wise ordered
    std::set<std::string> files;
    // the bundle this package was installed with; empty name when none
    PackageRange bundle;
    bool disabled = false;
    bool userForced = false;
    PendingAction pendingAction = kActionNone;
};

// Active once the pending actions are carried out: disabled and to be enabled,
// or enabled with nothing pending.
bool willBeActive(const PackageRecord& record);
// As willBeActive, and also an enabled record marked to be enabled.
bool keptActiveOrEnabled(const PackageRecord& record);
