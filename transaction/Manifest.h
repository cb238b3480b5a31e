#pragma once
// A staged transaction saved as text lines, so a later run can commit or cancel it.
#include <ostream>
#include <string>

#include "transaction/FsTransaction.h"

constexpr const char* kManifestPath = "/ram/MANIFEST";

void writeManifest(const FsTransaction& transaction, std::ostream& out);
void writeManifest(const FsTransaction& transaction, const std::string& path);
bool readManifest(FsTransaction& transaction, const std::string& path);
