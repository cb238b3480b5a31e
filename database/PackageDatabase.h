#pragma once
// Reading the package database on flash into the install context.
#include <string>
#include <vector>

#include "database/PackageRecord.h"

class InstallContext;

constexpr const char* kDatabaseRoot = "/flash/var/pdb/";
constexpr const char* kImageDirectory = "/rw/pckg/.images/";
constexpr const char* kScheduleRoot = "/ram/pdb/";

// "/flash/var/pdb/" + name + "/"
std::string packageDirectory(const PackageInfo& record);
void loadInstalledPackages(InstallContext& context, bool quiet, const std::string& architecture);
bool loadPackageImages(InstallContext& context, const std::string& prefix, bool fromImageDirectory);
void readDatabaseEntry(PackageRecord& record);
bool readDependencyFile(const std::string& path, std::vector<PackageRange>& list,
                        bool withPrecedence);
