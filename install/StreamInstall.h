#pragma once
// Installing what one package stream carries: a single package, or a bundle
// with its members. Everything is staged in the caller's transaction.
#include <istream>
#include <map>
#include <streambuf>
#include <string>

#include "model/PackageRecord.h"
#include "planning/Eligibility.h"
#include "signature/SignatureVerifier.h"
#include "transaction/DatabasePaths.h"

class InstallContext;
class FsTransaction;
class PartReader;
class Reporter;

// Package name to the disabled state the user chose for it.
using UserStateMap = std::map<std::string, bool>;

constexpr const char* kUpgradedMarkerPath = "/flash/UPGRADED";
constexpr const char* kBootImageVariable = "bootimage";
constexpr uint32_t kImageSkipStep = 4096;

enum class InstallOutcome {
    Installed,
    Omitted,  // same version, build time and bundle membership as installed
    Refused,  // judged not installable; the stream stands on the next member
    Failed,   // damaged or unwritable; the reason has been reported
};

struct PackageInstallResult {
    InstallOutcome outcome = InstallOutcome::Failed;
    std::string name;
    // The installed record (owned by the context), or for a refused or omitted
    // member the installed package of its name; null otherwise.
    PackageRecord* record = nullptr;
};

// 0 on success (an omitted package counts as success, with *outOmitted set);
// nonzero on failure: 1 for a single package, the bundle codes otherwise.
// verifier, when given, is the run's: its keys are prepared once for all the
// packages it checks.
int installStream(InstallContext& context, FsTransaction& transaction, std::istream& stream,
                  InstallFlags flags, const UserStateMap& userStates, std::streambuf* copySink,
                  std::string* outDatabaseDir, bool* outBootImage, bool* outOmitted = nullptr,
                  SignatureVerifier* verifier = nullptr);

PackageInstallResult installPackage(InstallContext& context, FsTransaction& transaction,
                                    PartReader& reader, InstallFlags flags,
                                    const UserStateMap& userStates, const PackageRange* bundleRef,
                                    std::string* outDatabaseDir, bool* outBootImage,
                                    SignatureVerifier& verifier);

bool installContents(InstallContext& context, PackageRecord& record, FsTransaction& transaction,
                     PartReader& reader, SignatureVerifier& verifier);

// Whether the copy of the stream (when there is one) holds everything read so
// far; reports the record's failure when it does not.
bool imageCopyWritten(Reporter& reporter, const PackageRecord& record, FsTransaction& transaction,
                      PartReader& reader);
// Package and bundle names become directory names: refuse ones that could
// escape the database directory or break the manifest's lines.
bool isSafePackageName(const std::string& name);
bool bootImageRequested();
