#pragma once
// The failure messages that name a package being installed.
#include <string>

#include "model/PackageRecord.h"

class Reporter;

// A bundle member is named by its bundle.
std::string displayName(const PackageRecord& record);
// Call right after the failing operation: the text depends on errno.
void reportCreateFailure(Reporter& reporter, const PackageRecord& record, const std::string& path);
void reportBrokenPackage(Reporter& reporter, const PackageRecord& record);
