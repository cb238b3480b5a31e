#pragma once
// Writing package database entries, always through the transaction.
#include <string>
#include <vector>

#include "database/PackageRecord.h"

class FsTransaction;

bool writeDatabaseEntry(PackageRecord& record, FsTransaction& transaction);
bool createDatabaseEntry(PackageRecord& record, FsTransaction& transaction);
void markDisabled(PackageRecord& record, FsTransaction& transaction);
void markEnabled(PackageRecord& record, FsTransaction& transaction);
bool writeDependencyFile(FsTransaction& transaction, const std::string& path,
                         const std::vector<PackageRange>& list, bool withPrecedence);
bool writeFilesList(PackageRecord& record, FsTransaction& transaction);
