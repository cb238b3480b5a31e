#include "tools/PkgtoolLimits.h"

namespace pkgtool {

bool fitsPackageFormat(const std::vector<pkgwriter::Part>& parts, std::string* why) {
    uint64_t total = kFileHeaderSize;
    for (const pkgwriter::Part& part : parts) {
        if (part.payload.size() > kMaxPackageFileSize) {
            if (why)
                *why = "a part of type " + std::to_string(part.type) + " would hold " +
                       std::to_string(part.payload.size()) +
                       " bytes, more than the format's 32-bit length allows";
            return false;
        }
        total += kPartHeaderSize + part.payload.size();
    }
    if (total > kMaxPackageFileSize) {
        if (why)
            *why = "the package would be " + std::to_string(total) +
                   " bytes long; the format allows at most 4294967295";
        return false;
    }
    return true;
}

}  // namespace pkgtool
