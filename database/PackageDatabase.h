#pragma once
// Reading the package database on flash into the install context.
#include <set>
#include <string>
#include <vector>

#include "model/PackageRecord.h"
#include "transaction/DatabasePaths.h"

class InstallContext;

constexpr const char* kImageDirectory = "/rw/pckg/.images/";
constexpr const char* kScheduleRoot = "/ram/pdb/";

// "/flash/var/pdb/" + name + "/"
std::string packageDirectory(const PackageInfo& record);
// Paths of database files that exist but could not be read, as the run sees them.
using DatabaseReadErrors = std::vector<std::string>;

// Fills the context's package list. A record any of whose files exists but
// cannot be read is left out, and the file's path returned: a run must not act
// on a database it could not read.
DatabaseReadErrors loadInstalledPackages(InstallContext& context, bool quiet,
                                         const std::string& architecture);
// Appends the records that images describe; false only when "/flash/var/pdb/"
// cannot be opened. An image that exists but cannot be read is noted in errors
// and its name in unreadableNames.
bool loadPackageImages(InstallContext& context, const std::string& prefix, bool fromImageDirectory,
                       DatabaseReadErrors* errors = nullptr,
                       std::set<std::string>* unreadableNames = nullptr);
// Completes a record from its directory and schedule file; false when a file of
// it exists but cannot be read (its path is added to errors).
bool readDatabaseEntry(PackageRecord& record, DatabaseReadErrors* errors = nullptr);
bool readDependencyFile(const std::string& path, std::vector<PackageRange>& list,
                        bool withPrecedence);
