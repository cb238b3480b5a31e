// The start-up read of the package database over a small tree that the input
// describes (records of FuzzSupport.h: metadata files, state files, images,
// schedule files of up to four packages), in a private root. The loaded set then
// goes through the listing and the planner, and a planned transaction that is
// cancelled must leave the tree as it was.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "database/PackageDatabase.h"
#include "driver/PackageListing.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/PrivateRoot.h"
#include "install/ApplyPlan.h"
#include "model/InstallContext.h"
#include "transaction/FsTransaction.h"

namespace {

using fuzzsupport::expectationFailed;

constexpr const char* kArchitecture = "i386";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzzsupport::enterPrivateRoot(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::resetRoot();
    for (const auto& record : fuzzsupport::decodeDatabaseInput(data, size))
        fuzzsupport::writeDatabaseRecord(record);
    const std::string before = fuzzsupport::treeListing();

    // The whole run as the program does it.
    InstallContext context;
    fuzzsupport::resetContext(context);
    context.console.setOutput(fuzzsupport::consoleOutput());
    loadInstalledPackages(context, false, kArchitecture);
    listPackages(context);
    FsTransaction transaction;
    applyPlan(context, transaction, 1);
    transaction.cancel();
    fuzzsupport::resetContext(context);

    const std::string after = fuzzsupport::treeListing();
    if (after != before)
        expectationFailed("a cancelled plan changed the tree", before + "---\n" + after);
    return 0;
}
