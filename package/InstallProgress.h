#pragma once
// The progress line of a package being installed.
#include "model/PackageRecord.h"

class PartReader;
class Reporter;

// Shows how far the reader has come through the whole package file.
void showInstallProgress(Reporter& reporter, const PackageRecord& record, PartReader& reader);
