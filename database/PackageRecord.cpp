#include "database/PackageRecord.h"

const char* actionWord(PendingAction action) {
    static const char* const kWords[] = {"", "uninstall", "enable", "disable"};
    unsigned index = static_cast<unsigned>(action);
    return index < 4 ? kWords[index] : "";
}
