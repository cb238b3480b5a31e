#pragma once
// The run modes the command line selects, each over the loaded install context.
// Each returns the exit status.
#include "driver/CommandLine.h"

class InstallContext;
class TempRegistry;
class FsTransaction;

int commitStoredTransaction(InstallContext& context, TempRegistry& registry);
int cancelStoredTransaction(TempRegistry& registry);
int runListingMode(InstallContext& context);
int runCleanupMode(InstallContext& context, TempRegistry& registry);
int runStreamInstallMode(InstallContext& context, const RunOptions& options,
                         TempRegistry& registry);
int runUpgradeMode(InstallContext& context, const RunOptions& options, TempRegistry& registry);

// Shared by the modes that change flash.
// The exit status of a run that a signal asked to stop.
int stoppedStatus();
// A staged file that could not be written, reported; true when there was one.
bool reportWriteFailure(InstallContext& context, const FsTransaction& transaction);
// Commits with the stop signals held, unless a stop came first (then cancels).
// False when the commit could not apply every change, or did not run.
bool commitUnlessStopped(FsTransaction& transaction);
