#pragma once
// Writing package database entries, always through the transaction.
#include <string>
#include <vector>

#include "model/PackageRecord.h"

class FsTransaction;
class Reporter;

// Claims the package's database folder in the transaction; false when the name
// is taken by anything but a directory.
bool reclaimDatabaseDir(const PackageRecord& record, FsTransaction& transaction);
bool writeDatabaseEntry(Reporter& reporter, PackageRecord& record, FsTransaction& transaction);
bool createDatabaseEntry(Reporter& reporter, PackageRecord& record, FsTransaction& transaction);
void markDisabled(PackageRecord& record, FsTransaction& transaction);
void markEnabled(PackageRecord& record, FsTransaction& transaction);
bool writeDependencyFile(FsTransaction& transaction, const std::string& path,
                         const std::vector<PackageRange>& list, bool withPrecedence);
bool writeFilesList(PackageRecord& record, FsTransaction& transaction);
