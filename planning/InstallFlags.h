#pragma once
// What an install is allowed to do (install flags) and what the check before it
// found (check results): two distinct sets of flags that cannot be mixed.
#include <cstdint>

// A set of flags of one kind, told apart by Kind.
template <typename Kind>
class FlagSet {
public:
    constexpr FlagSet() = default;
    constexpr explicit FlagSet(uint32_t bits) : bits_(bits) {}

    constexpr FlagSet operator|(FlagSet other) const { return FlagSet(bits_ | other.bits_); }
    FlagSet& operator|=(FlagSet other) {
        bits_ |= other.bits_;
        return *this;
    }
    // True when any flag of other is in the set.
    constexpr bool has(FlagSet other) const { return (bits_ & other.bits_) != 0; }
    constexpr FlagSet without(FlagSet other) const { return FlagSet(bits_ & ~other.bits_); }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr bool operator==(FlagSet other) const { return bits_ == other.bits_; }
    constexpr bool operator!=(FlagSet other) const { return bits_ != other.bits_; }

private:
    uint32_t bits_ = 0;
};

struct InstallFlagKind {};
using InstallFlags = FlagSet<InstallFlagKind>;
constexpr InstallFlags kAllowUpgrade{1};
constexpr InstallFlags kAllowDowngrade{2};
constexpr InstallFlags kQuietChecks{8};
constexpr InstallFlags kQuietConflicts{16};
// Bundle members are checked with all of these: judged silently, any version.
constexpr InstallFlags kMemberCheckFlags =
    kAllowUpgrade | kAllowDowngrade | kQuietChecks | kQuietConflicts;

struct CheckResultKind {};
using CheckResult = FlagSet<CheckResultKind>;
constexpr CheckResult kCheckUpgrade{1};
constexpr CheckResult kCheckDowngrade{2};
constexpr CheckResult kCheckBlocked{8};
constexpr CheckResult kCheckConflict{16};
constexpr CheckResult kCheckReinstall{32};

// An upgrade or downgrade that the flags do not allow, or any finding other
// than those and the tolerated ones, refuses the install.
constexpr bool refuses(CheckResult check, InstallFlags flags, CheckResult tolerated) {
    return (check.has(kCheckUpgrade) && !flags.has(kAllowUpgrade)) ||
           (check.has(kCheckDowngrade) && !flags.has(kAllowDowngrade)) ||
           !check.without(kCheckUpgrade | kCheckDowngrade | tolerated).empty();
}
