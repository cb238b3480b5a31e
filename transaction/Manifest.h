#pragma once
// A staged transaction saved as text lines, so a later run can commit or cancel it.
#include <sys/types.h>

#include <ostream>
#include <set>
#include <string>

#include "transaction/FsTransaction.h"

constexpr const char* kManifestPath = "/ram/MANIFEST";
constexpr mode_t kManifestMode = 0666;

void writeManifest(const FsTransaction& transaction, std::ostream& out);
// Through a temporary file beside path, synced and renamed into place; false
// (errno set, no file left but an older manifest) when any step fails.
bool writeManifest(const FsTransaction& transaction, const std::string& path,
                   TempRegistry& registry);
// ioError, when given, tells a manifest that exists but could not be read (a
// fault, not a malformed line); what it holds is then unknown.
bool readManifest(FsTransaction& transaction, const std::string& path, bool* ioError = nullptr);
// The files the manifest at path moves into place (none when it is absent);
// false when it exists but cannot be read.
bool manifestMoveSources(const std::string& path, std::set<std::string>& sources);
