#include "model/PackageRecord.h"

const char* actionWord(PendingAction action) {
    static const char* const kWords[] = {"", "uninstall", "enable", "disable"};
    unsigned index = static_cast<unsigned>(action);
    return index < 4 ? kWords[index] : "";
}

bool willBeActive(const PackageRecord& record) {
    return record.disabled ? record.pendingAction == kActionEnable
                           : record.pendingAction == kActionNone;
}

bool keptActiveOrEnabled(const PackageRecord& record) {
    return willBeActive(record) || record.pendingAction == kActionEnable;
}
