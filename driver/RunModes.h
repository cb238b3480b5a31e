#pragma once
// The run modes the command line selects, each over the loaded install context.
#include "driver/CommandLine.h"

class InstallContext;

void commitStoredTransaction(InstallContext& context);
void cancelStoredTransaction();
int runListingMode(InstallContext& context);
int runCleanupMode(InstallContext& context);
int runStreamInstallMode(InstallContext& context, const RunOptions& options);
int runUpgradeMode(InstallContext& context, const RunOptions& options);
