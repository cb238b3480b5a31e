// pkgtool's version and range texts over arbitrary bytes. Every text that
// parses must format back to a text that parses to the same value, and a parsed
// range always carries a valid name.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "tools/VersionText.h"

namespace {

using fuzzsupport::expectationFailed;

void checkVersion(const std::string& text) {
    VersionNumber version = 0;
    std::string why;
    if (!pkgtool::parseVersionText(text, version, &why)) {
        if (why.empty()) expectationFailed("a refused version without a reason", text);
        return;
    }
    if (version == 0) expectationFailed("a parsed version reads as no bound", text);
    std::string shown = formatVersion(version);
    VersionNumber again = 0;
    if (!pkgtool::parseVersionText(shown, again) || again != version)
        expectationFailed("a formatted version does not parse back", text + " -> " + shown);
}

void checkRange(const std::string& text, bool withPrecedence) {
    PackageRange range;
    std::string why;
    if (!pkgtool::parseRangeText(text, withPrecedence, range, &why)) {
        if (why.empty()) expectationFailed("a refused range without a reason", text);
        return;
    }
    if (!pkgtool::isValidPackageName(range.name))
        expectationFailed("a range with an invalid name", text);
    if (!withPrecedence && range.precedence != 0)
        expectationFailed("a precedence outside provides", text);
    if (range.min != 0 && range.max != 0 && range.min > range.max)
        expectationFailed("a range with its bounds reversed", text);
    std::string shown = pkgtool::formatRangeText(range, withPrecedence);
    PackageRange again;
    if (!pkgtool::parseRangeText(shown, withPrecedence, again) || again.name != range.name ||
        again.min != range.min || again.max != range.max || again.precedence != range.precedence)
        expectationFailed("a formatted range does not parse back", text + " -> " + shown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    checkVersion(text);
    checkRange(text, false);
    checkRange(text, true);
    pkgtool::isValidPackageName(text);
    return 0;
}
