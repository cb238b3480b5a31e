#pragma once
// The progress line of a package being installed and the failure messages that
// name it.
#include <string>

#include "database/PackageRecord.h"

class PartReader;
class FsTransaction;

void showInstallProgress(const PackageRecord& record, PartReader& reader);
std::string displayName(const PackageRecord& record);
// Call right after the failing operation: the text depends on errno.
void reportCreateFailure(const PackageRecord& record, const std::string& path);
void reportBrokenPackage(const PackageRecord& record);
bool reclaimDatabaseDir(const PackageRecord& record, FsTransaction& transaction);
