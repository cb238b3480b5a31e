#pragma once
// The text forms that package authors type for versions and version ranges, and
// their inverse for display. Parsing is total: any byte string gives a result or
// a reason, never a crash, so that it can be fed arbitrary input.
#include <string>

#include "model/VersionNumber.h"

namespace pkgtool {

// Longest package or capability name that fits the 16-byte name field.
constexpr size_t kMaxNameLength = 16;

// "6.2" (final), "6.2.1" (final, build 1), "6.2alpha", "6.2beta5", "3.20rc2".
// Numbers are decimal 0..255 without leading zeros. Exactly the texts that
// formatVersion produces for the stages alpha, beta, rc and final parse back to
// the same number; "6.2.0" is accepted as "6.2". Every parsed version is nonzero,
// so a parsed bound never reads as "no bound".
bool parseVersionText(const std::string& text, VersionNumber& out, std::string* why = nullptr);

// Name rules for packages, capabilities and default-off entries: 1 to 16 bytes,
// not "." or "..", no "/" and no byte below 0x21.
bool isValidPackageName(const std::string& name, std::string* why = nullptr);

// Ranges:
//   NAME               any version
//   NAME>=V            V or newer
//   NAME<=V            V or older
//   NAME=V             exactly V
//   NAME=V..W          V through W, both included (V <= W)
// With withPrecedence, a suffix ":N" (signed decimal) sets the precedence of a
// provides entry; it is 0 without one. The name ends at the first '<', '>', '='
// or ':', so names holding those characters cannot be written here.
bool parseRangeText(const std::string& text, bool withPrecedence, PackageRange& out,
                    std::string* why = nullptr);

// The inverse of parseRangeText for ranges it can produce; other bounds are shown
// with formatVersion all the same. The precedence is shown when nonzero.
std::string formatRangeText(const PackageRange& range, bool withPrecedence);

}  // namespace pkgtool
