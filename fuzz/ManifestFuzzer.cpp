// The manifest reader over arbitrary text. Whatever it accepts must survive a
// round trip: written out again and read back, the same entries come back.
// Nothing is ever committed or cancelled here: the entries name arbitrary paths.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/PrivateRoot.h"
#include "transaction/Manifest.h"

namespace {

using fuzzsupport::expectationFailed;

std::string inputPath;
std::string roundTripPath;

void removeFiles() {
    unlink(inputPath.c_str());
    unlink(roundTripPath.c_str());
    rmdir(inputPath.substr(0, inputPath.rfind('/')).c_str());
}

std::string describe(const FsTransaction& transaction) {
    std::ostringstream text;
    writeManifest(transaction, text);
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string directory = fuzzsupport::makeScratchDirectory("manifest");
    inputPath = directory + "/MANIFEST";
    roundTripPath = directory + "/MANIFEST.again";
    std::atexit(removeFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::writeFile(inputPath, std::string(reinterpret_cast<const char*>(data), size));
    FsTransaction transaction;
    readManifest(transaction, inputPath);
    for (const auto& [target, entry] : transaction.entries) {
        if (entry.kind == FsEntryKind::NewFile)
            expectationFailed("a manifest line became a new file", target);
    }

    TempRegistry unrecorded;
    if (!writeManifest(transaction, roundTripPath, unrecorded))
        expectationFailed("a manifest could not be written", describe(transaction));
    FsTransaction again;
    bool complete = readManifest(again, roundTripPath);
    if (!complete)
        expectationFailed("a written manifest does not read back", describe(transaction));
    if (again.entries.size() != transaction.entries.size())
        expectationFailed("round trip changed the entry count", describe(transaction));
    for (auto a = transaction.entries.begin(), b = again.entries.begin();
         a != transaction.entries.end(); ++a, ++b) {
        if (a->first != b->first || a->second.kind != b->second.kind ||
            a->second.source != b->second.source)
            expectationFailed("round trip changed an entry", a->first);
    }
    return 0;
}
