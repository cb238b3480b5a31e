// The start-up read of the package database over a small tree that the input
// describes (records of FuzzSupport.h: metadata files, state files, images,
// schedule files of up to four packages), in a private root. The loaded set then
// goes through the listing and the planner, whose indexed and plain variants
// must agree, and a planned transaction that is cancelled must leave the tree
// as it was.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "database/PackageDatabase.h"
#include "driver/InstallContext.h"
#include "driver/PackageListing.h"
#include "fuzz/FuzzSupport.h"
#include "fuzz/PrivateRoot.h"
#include "planning/ChangePlanning.h"
#include "transaction/FsTransaction.h"

namespace {

using fuzzsupport::expectationFailed;

constexpr const char* kArchitecture = "i386";

struct PlanOutcome {
    bool accepted = false;
    std::vector<size_t> removal;
    std::vector<size_t> enable;
    std::vector<int> pending;
    std::vector<std::string> messages;
    std::string console;

    bool operator==(const PlanOutcome& o) const {
        return accepted == o.accepted && removal == o.removal && enable == o.enable &&
               pending == o.pending && messages == o.messages && console == o.console;
    }
};

std::vector<size_t> positions(const InstallContext& context,
                              const std::vector<PackageRecord*>& list) {
    std::vector<size_t> out;
    for (const PackageRecord* record : list) {
        for (size_t i = 0; i < context.packages.size(); ++i) {
            if (context.packages[i].get() == record) out.push_back(i);
        }
    }
    return out;
}

template <typename Planner>
PlanOutcome plan(Planner planner) {
    InstallContext context;
    std::ostringstream console;
    context.setOutput(console);
    loadInstalledPackages(context, false, kArchitecture);
    PlanOutcome outcome;
    std::vector<PackageRecord*> removal;
    std::vector<PackageRecord*> enable;
    outcome.accepted = planner(context, removal, enable);
    outcome.removal = positions(context, removal);
    outcome.enable = positions(context, enable);
    for (const auto& record : context.packages) outcome.pending.push_back(record->pendingAction);
    outcome.messages = context.messages;
    outcome.console = console.str();
    return outcome;
}

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

    PlanOutcome indexed = plan([](InstallContext& c, auto& removal, auto& enable) {
        return planChanges(c, removal, enable, true);
    });
    PlanOutcome plain = plan([](InstallContext& c, auto& removal, auto& enable) {
        return planChangesUnindexed(c, removal, enable, true);
    });
    if (!(indexed == plain))
        expectationFailed("the indexed and the plain planner disagree", indexed.console);

    // The whole run as the program does it, on the process-wide context that
    // the install reports write through.
    InstallContext& context = InstallContext::instance();
    fuzzsupport::resetContext(context);
    context.setOutput(fuzzsupport::consoleOutput());
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
