#pragma once
// Carrying out enable, disable and uninstall decisions in the transaction.
#include <string>
#include <vector>

#include "model/PackageRecord.h"

class InstallContext;
class FsTransaction;

constexpr const char* kBootImagePath = "/flash/bootimage";

void enablePackages(InstallContext& context, FsTransaction& transaction,
                    const std::vector<PackageRecord*>& list, int verbosity);
// Uninstalled records are taken out of the context and destroyed.
void disableOrUninstallPackages(InstallContext& context, FsTransaction& transaction,
                                const std::vector<PackageRecord*>& list, int verbosity);
bool uninstallByName(InstallContext& context, FsTransaction& transaction, const std::string& name);
void removePackage(PackageRecord& record, FsTransaction& transaction);
void removePackageFiles(PackageRecord& record, FsTransaction& transaction);
void removeDatabaseEntry(PackageRecord& record, FsTransaction& transaction);
