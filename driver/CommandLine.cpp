#include "driver/CommandLine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "database/PackageDatabase.h"
#include "driver/InstallContext.h"
#include "driver/RunModes.h"

namespace {

enum class ScanResult { Run, Exit };

// Arguments are matched one at a time in a fixed order; --commit and --cancel
// act at once, before any change of root.
ScanResult scanArguments(InstallContext& context, int argc, char** argv, RunOptions& options) {
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
        } else if (arg == "--commit") {
            commitStoredTransaction(context);
            return ScanResult::Exit;
        } else if (arg == "--cancel") {
            cancelStoredTransaction();
            return ScanResult::Exit;
        } else if (arg == "--show") {
            options.show = true;
        } else {
            context.out() << kUsageLine << '\n';
            context.out().flush();
            return ScanResult::Exit;
        }
    }
    return ScanResult::Run;
}

}  // namespace

int runInstaller(int argc, char** argv) {
    InstallContext& context = InstallContext::instance();
    RunOptions options;
    if (scanArguments(context, argc, argv, options) == ScanResult::Exit) return 0;

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
    loadInstalledPackages(context, options.quiet, options.architecture);

    if (options.show) return runListingMode(context);
    if (options.cleanup) return runCleanupMode(context);
    if (options.streamInstall) return runStreamInstallMode(context, options);
    return runUpgradeMode(context, options);
}
