// Whether a package read from a stream may be installed next to the installed set.
#include "planning/Eligibility.h"

#include "model/InstallContext.h"
#include "planning/PlanLookup.h"
#include "platform/FlashProbes.h"

namespace {

// Replaceable so that tests can play boards with a minimum version.
MinSystemVersionQuery minVersionQuery = boardMinSystemVersion;

constexpr char kSystemPackageName[] = "system";
constexpr char kSystemNamePrefix[] = "tarnix";
constexpr char kOptionPackageName[] = "option";

bool isSystemPackageName(const std::string& name) {
    return name == kSystemPackageName ||
           name.compare(0, sizeof kSystemNamePrefix - 1, kSystemNamePrefix) == 0;
}

}  // namespace

VersionNumber queryMinSystemVersion() {
    return minVersionQuery();
}

void setMinSystemVersionQuery(MinSystemVersionQuery query) {
    minVersionQuery = query ? query : boardMinSystemVersion;
}

bool checkSystemPackage(InstallContext& context, const PackageInfo& package, bool report) {
    VersionNumber minimum = queryMinSystemVersion();
    // An installed "option" package lifts the board's minimum.
    if (package.version < minimum && !findByName(context, kOptionPackageName)) {
        if (report) {
            context.console.reportError("omitting package %s: min Tarnix version is %s",
                                        nameWithVersion(package).c_str(),
                                        formatVersion(minimum).c_str());
        }
        return false;
    }
    if (package.version < kLargeEraseMinVersion && isLargeEraseFlash()) {
        if (report) {
            context.console.reportWarning(
                "omitting package %s: it does not support current file system",
                nameWithVersion(package).c_str());
        }
        return false;
    }
    return true;
}

namespace {

// The installed package of the same name against the new one: an upgrade, a
// downgrade (reported unless allowed), a reinstall in or out of a bundle, or
// the same package (reported).
CheckResult checkAgainstInstalled(InstallContext& context, const PackageInfo& package,
                                  bool inBundle, InstallFlags flags, bool& reported,
                                  bool* sameAsInstalled) {
    CheckResult result;
    const std::string shown = nameWithVersion(package);
    if (PackageRecord* installed = findByName(context, package.name)) {
        int c = compareVersions(package, *installed);
        if (c < 0) {
            result = kCheckDowngrade;
            if (!flags.has(kAllowDowngrade)) {
                context.console.reportWarning(
                    "omitting package %s: newer package %s is already installed", shown.c_str(),
                    nameWithVersion(*installed).c_str());
                reported = true;
            }
        } else if (c == 0) {
            bool installedInBundle = !installed->bundle.name.empty();
            if (installedInBundle != inBundle) {
                result = kCheckReinstall;
            } else {
                context.console.reportWarning("omitting package %s: it is already installed",
                                              shown.c_str());
                reported = true;
                if (sameAsInstalled) *sameAsInstalled = true;
            }
        } else {
            result = kCheckUpgrade;
        }
    }
    return result;
}

}  // namespace

CheckResult checkInstall(InstallContext& context, const PackageInfo& package, bool inBundle,
                         InstallFlags flags, bool* sameAsInstalled) {
    // Once one message is out, the rest of the checks only set bits.
    bool reported = false;
    if (sameAsInstalled) *sameAsInstalled = false;
    const std::string shown = nameWithVersion(package);
    const bool quietChecks = flags.has(kQuietChecks);

    CheckResult result =
        checkAgainstInstalled(context, package, inBundle, flags, reported, sameAsInstalled);

    if (isSystemPackageName(package.name)) {
        bool report = !reported && !quietChecks;
        if (!checkSystemPackage(context, package, report)) {
            result |= kCheckBlocked;
            if (report) reported = true;
        }
    }

    if (!package.architecture.empty() && package.architecture != context.architecture) {
        if (!reported && !quietChecks) {
            context.console.reportError("can not install %s: it is not made for %s, but for %s",
                                        shown.c_str(), context.architecture.c_str(),
                                        package.architecture.c_str());
            reported = true;
        }
        result |= kCheckBlocked;
    }

    for (const PackageRange& d : package.dependencies) {
        if (!collectSatisfying(context, d, false).empty()) continue;
        if (!reported && !quietChecks) {
            context.console.reportError("can not install %s: %s is not installed, but is required",
                                        shown.c_str(), rangeText(d).c_str());
            reported = true;
        }
        result |= kCheckBlocked;
        break;
    }

    if (PackageRecord* excluder = findExcluder(context, package)) {
        if (!reported && !flags.has(kQuietConflicts)) {
            context.console.reportError("can not install %s: it conflicts with %s", shown.c_str(),
                                        nameWithVersion(*excluder).c_str());
        }
        result |= kCheckConflict;
    }
    return result;
}

void resolveEnableConflicts(InstallContext& context, PackageRecord& record, bool report) {
    IndexedLookup lookup(context);
    planning::resolveEnableConflicts(context, lookup, record, report);
}
