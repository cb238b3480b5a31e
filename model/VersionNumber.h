#pragma once
// Packed package versions, the ranges of dependency, provides and conflicts
// lists, and the ordering of two packages. Pure computation, no state.
#include <cstdint>
#include <string>

// major (bits 31..24), minor (23..16), stage letter (15..8), build (7..0);
// ordered as a plain unsigned number.
using VersionNumber = uint32_t;

constexpr uint8_t kStageAlpha = 'a';
constexpr uint8_t kStageBeta = 'b';
constexpr uint8_t kStageReleaseCandidate = 'c';
constexpr uint8_t kStageFinal = 'f';
// version and build time both at this value mark a placeholder record
constexpr uint32_t kPlaceholderMark = 0xFFFFFFFFu;

constexpr VersionNumber makeVersion(uint8_t major, uint8_t minor, uint8_t stage, uint8_t build) {
    return (static_cast<uint32_t>(major) << 24) | (static_cast<uint32_t>(minor) << 16) |
           (static_cast<uint32_t>(stage) << 8) | build;
}

// One entry of a dependency, provides or conflicts list, or a bundle reference.
// A bound of 0 means none.
struct PackageRange {
    std::string name;
    VersionNumber min = 0;
    VersionNumber max = 0;
    int32_t precedence = 0;
};

class PackageInfo;

std::string formatVersion(VersionNumber v);
std::string nameWithVersion(const PackageInfo& record);
std::string rangeText(const PackageRange& range);
bool sameName(const std::string& a, const std::string& b);
bool satisfies(const PackageInfo& record, const PackageRange& range);
bool rangesOverlap(const PackageRange& a, const PackageRange& b);
bool providesRange(const PackageInfo& record, const PackageRange& range);
// +1 when a is newer, -1 when b is newer, 0 when equal or unrelated; a bundle
// file is compared with a single package through its member of that name.
int compareVersions(const PackageInfo& a, const PackageInfo& b);
int compareForChoice(const PackageInfo& a, const PackageInfo& b, bool preferOlder);
bool isPlaceholder(const PackageInfo& record);
