#include "driver/CommandLine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include "database/PackageDatabase.h"
#include "driver/RunModes.h"
#include "model/InstallContext.h"
#include "platform/RunLock.h"
#include "platform/StopSignals.h"
#include "transaction/Manifest.h"
#include "transaction/TempRegistry.h"

namespace {

enum class ScanResult { Run, Exit };

// What every run that may change flash does first: make sure it is the only
// one, and reclaim the temporary files an earlier run could not delete (all but
// those a saved manifest still has to move). False when another run is going.
bool startChanging(InstallContext& context, RunLock& lock, TempRegistry& registry) {
    installStopHandlers();
    if (lock.acquire(kRunLockPath) == LockResult::Busy) {
        context.console.reportError("another installer run is in progress");
        return false;
    }
    // What a saved manifest still has to move is kept; when the manifest
    // cannot be read, which that is cannot be known, and nothing is deleted.
    std::set<std::string> keep;
    if (manifestMoveSources(kManifestPath, keep)) registry.reclaim(keep);
    context.console.temporaries = &registry;
    return true;
}

// --commit and --cancel act on the manifest at once, before any change of root.
int runStoredAction(InstallContext& context, bool commit) {
    RunLock lock;
    TempRegistry registry(kTempRegistryPath);
    if (!startChanging(context, lock, registry)) return 1;
    return commit ? commitStoredTransaction(context, registry) : cancelStoredTransaction(registry);
}

// A database that could not be read is not acted on.
bool reportUnreadable(InstallContext& context, const DatabaseReadErrors& errors) {
    for (const std::string& path : errors)
        context.console.reportError("could not read %s", path.c_str());
    return !errors.empty();
}

int runChangingMode(InstallContext& context, const RunOptions& options,
                    const DatabaseReadErrors& errors, TempRegistry& registry) {
    // A stop request cuts the reading short; nothing was staged yet.
    if (stopSignal() != 0) {
        registry.finish(false);
        return 1;
    }
    if (reportUnreadable(context, errors)) {
        registry.finish(false);
        if (!options.cleanup) context.console.writePostLog();
        return 1;
    }
    if (options.cleanup) return runCleanupMode(context, registry);
    if (options.streamInstall) return runStreamInstallMode(context, options, registry);
    return runUpgradeMode(context, options, registry);
}

// Arguments are matched one at a time in a fixed order; --commit and --cancel
// act at once, before any change of root.
ScanResult scanArguments(InstallContext& context, int argc, char** argv, RunOptions& options,
                         int& status) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--cleanup") {
            options.cleanup = true;
            return ScanResult::Run;
        } else if (arg == "--safe") {
            options.commitNow = false;
        } else if (arg == "-r" && i + 1 < argc) {
            options.root = argv[++i];
        } else if (arg == "-") {
            options.streamInstall = true;
            return ScanResult::Run;
        } else if (arg == "-q") {
            options.quiet = true;
        } else if (arg == "-down") {
            options.installFlags |= kAllowDowngrade;
        } else if (arg == "-b" || arg == "--force" || arg == "--noupgrade" || arg == "-i") {
            // accepted for compatibility with older callers; no effect
        } else if (arg == "--commit" || arg == "--cancel") {
            status = runStoredAction(context, arg == "--commit");
            return ScanResult::Exit;
        } else if (arg == "--show") {
            options.show = true;
        } else {
            context.console.out() << kUsageLine << '\n';
            context.console.out().flush();
            return ScanResult::Exit;
        }
    }
    return ScanResult::Run;
}

}  // namespace

namespace {

int runProgram(InstallContext& context, int argc, char** argv) {
    RunOptions options;
    int status = 0;
    if (scanArguments(context, argc, argv, options, status) == ScanResult::Exit) return status;

    if (!options.root.empty() && chroot(options.root.c_str()) != 0) {
        // Going on in the old root would change the real system instead of the
        // one asked for.
        std::perror("chroot");
        return 1;
    }
    if (chdir("/") != 0) {
        // nothing to do: every path below is absolute
    }
    if (const char* arch = std::getenv("arch")) options.architecture = arch;
    context.console.quiet = options.quiet;

    RunLock lock;
    TempRegistry registry(kTempRegistryPath);
    if (!options.show && !startChanging(context, lock, registry)) return 1;
    DatabaseReadErrors errors = loadInstalledPackages(context, options.quiet, options.architecture);
    if (options.show) return runListingMode(context);
    return runChangingMode(context, options, errors, registry);
}

}  // namespace

int runInstaller(int argc, char** argv) {
    openMissingStandardDescriptors();
    ignoreBrokenPipe();
    InstallContext context;
    try {
        int status = runProgram(context, argc, argv);
        // A stop request that came while the run was ending still ends it so.
        return stopSignal() != 0 ? stoppedStatus() : status;
    } catch (const std::bad_alloc&) {
        // Memory use is bounded for any input; this is a last resort that keeps
        // the failure a result. The next run reclaims what was staged.
        std::fputs("ERROR: out of memory\n", stdout);
    } catch (...) {
        std::fputs("ERROR: internal error\n", stdout);
    }
    std::fflush(stdout);
    return 1;
}
