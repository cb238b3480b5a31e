#include "driver/PackageListing.h"

#include <ctime>
#include <iomanip>
#include <ostream>
#include <string>

#include "model/InstallContext.h"

namespace {

constexpr int kNameWidth = 16;
constexpr int kDisabledWidth = 1;
constexpr int kBundleWidth = 2;
constexpr int kVersionWidth = 13;
constexpr int kBuiltWidth = 20;
constexpr int kNoteWidth = 40;

std::string builtText(uint32_t buildTime) {
    std::time_t seconds = static_cast<std::time_t>(buildTime);
    std::tm calendar;
    if (!gmtime_r(&seconds, &calendar)) return std::string();
    char text[kBuiltTextSize];
    size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &calendar);
    return std::string(text, length);
}

}  // namespace

void listPackages(InstallContext& context) {
    std::ostream& out = context.console.out();
    // Fields are padded by the stream's own rule (fill before the item), and an
    // item longer than its field is written whole.
    out << std::setw(kNameWidth) << "Name"
        << "    " << std::setw(kVersionWidth) << "Version"
        << " " << std::setw(kBuiltWidth) << "Built" << std::setw(kNoteWidth) << "Note" << '\n';
    out << std::string(kListingRuleWidth, '-') << '\n';
    for (const auto& record : context.packages) {
        out << std::setw(kNameWidth) << record->name << " " << std::setw(kDisabledWidth)
            << (record->disabled ? "X" : " ") << std::setw(kBundleWidth)
            << (record->bundle.name.empty() ? "  " : "B ") << std::setw(kVersionWidth)
            << formatVersion(record->version) << " " << std::setw(kBuiltWidth)
            << builtText(record->buildTime) << " " << std::setw(kNoteWidth) << record->note << '\n';
    }
    out.flush();
}
