// A whole stream install of arbitrary bytes, in a private root that the process
// changes into once at start. Every run starts from the same installed set
// (FuzzSupport.h), loads it as the program does, and installs the input:
//  - a failed install is cancelled, and must then leave the tree exactly as it
//    was: no temporary file, no directory, nothing of the package;
//  - a successful one is committed (only signed packages get that far, so these
//    are the seeds and their mutations outside the signed bytes) and must leave
//    no temporary file behind; the database it wrote is read back, and the root
//    is then rebuilt for the next run.
// The reader's copy of what it consumed must be a prefix of the input.
//
// The input's hash picks the install flags, the "bootimage" variable and the
// user's choices, so that one corpus covers them all.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "database/PackageDatabase.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/PrivateRoot.h"
#include "install/ApplyPlan.h"
#include "install/StreamInstall.h"
#include "model/InstallContext.h"
#include "package/PartReader.h"
#include "transaction/FsTransaction.h"

// The commit flushes every file system of the machine, twice, which would make
// the fuzzer as slow as the host's disks and slow down everything else on it.
// Durability is not what is examined here; the renames and links are.
extern "C" void sync() {}

namespace {

using fuzzsupport::expectationFailed;

constexpr const char* kArchitecture = "i386";
constexpr uint32_t kChoiceDowngrade = 1;
constexpr uint32_t kChoiceBootImage = 2;
constexpr uint32_t kChoiceUserStates = 4;

std::string templateListing;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzzsupport::enterPrivateRoot(argc, argv);
    fuzzsupport::writeInstalledTemplate();
    templateListing = fuzzsupport::treeListing();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint32_t choice = fuzzsupport::inputHash(data, size);
    InstallFlags flags = kAllowUpgrade;
    if (choice & kChoiceDowngrade) flags |= kAllowDowngrade;
    if (choice & kChoiceBootImage)
        setenv(kBootImageVariable, "1", 1);
    else
        unsetenv(kBootImageVariable);
    UserStateMap userStates;
    if (choice & kChoiceUserStates) {
        userStates["victim"] = false;
        userStates["old"] = true;
    }

    InstallContext context;
    fuzzsupport::resetContext(context);
    context.console.setOutput(fuzzsupport::consoleOutput());
    loadInstalledPackages(context, false, kArchitecture);

    FsTransaction transaction;
    applyPlan(context, transaction, 1);
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::istringstream stream(input);
    std::stringbuf copy;
    std::string databaseDir;
    bool bootImage = false;
    bool omitted = false;
    int result = installStream(context, transaction, stream, flags, userStates, &copy, &databaseDir,
                               &bootImage, &omitted);

    if (fuzzsupport::verbose())
        std::cerr << "\ninstall result " << result << (omitted ? " (omitted)" : "") << "\n";

    const std::string copied = copy.str();
    if (copied.size() > input.size() || input.compare(0, copied.size(), copied) != 0)
        expectationFailed("the image copy is not a prefix of the stream",
                          std::to_string(copied.size()) + " bytes copied");

    if (result == 0) {
        transaction.commit(nullptr);
        const std::string leftovers = fuzzsupport::temporaryFiles();
        if (!leftovers.empty())
            expectationFailed("a committed install left temporary files", leftovers);
        fuzzsupport::resetContext(context);
        loadInstalledPackages(context, false, kArchitecture);
        fuzzsupport::resetContext(context);
        fuzzsupport::resetRoot();
        fuzzsupport::writeInstalledTemplate();
        if (fuzzsupport::treeListing() != templateListing)
            expectationFailed("the rebuilt root differs from the first", "");
        return 0;
    }
    transaction.cancel();
    fuzzsupport::resetContext(context);
    const std::string after = fuzzsupport::treeListing();
    if (after != templateListing)
        expectationFailed("a cancelled install changed the tree",
                          templateListing + "---\n" + after);
    return 0;
}
