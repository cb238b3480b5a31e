#pragma once
// The size limits of the package format that the writer cannot check for itself:
// 32-bit part lengths and a whole file whose size, header included, must fit in
// 32 bits because the installer computes it as length + 8 in 32 bits.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/PackageWriter.h"

namespace pkgtool {

constexpr uint64_t kMaxPackageFileSize = 0xFFFFFFFFull;

// False with the reason when a part or the whole file would not fit.
bool fitsPackageFormat(const std::vector<pkgwriter::Part>& parts, std::string* why);

}  // namespace pkgtool
