#pragma once
// Installing a multi-package stream: a bundle and the member packages it carries.
#include <string>

#include "install/StreamInstall.h"

class InstallContext;
class FsTransaction;
class PartReader;

enum MultiPackageResult : int {
    kBundleInstalled = 0,
    kBundleUnreadable = 1,  // also: the bundle's entry could not be written, or a member failed
    kBundleRefused = 2,
    kBundleNoMember = 3,
};

int installMultiPackage(InstallContext& context, FsTransaction& transaction, PartReader& reader,
                        InstallFlags flags, const UserStateMap& userStates,
                        std::string* outDatabaseDir, bool* outBootImage, bool* outOmitted,
                        SignatureVerifier& verifier);
