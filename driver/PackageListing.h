#pragma once
// The package table of the listing mode: one fixed-width row per known package,
// in load order, on the context's output.
#include <cstddef>

class InstallContext;

constexpr size_t kListingRuleWidth = 94;
constexpr size_t kBuiltTextSize = 128;

void listPackages(InstallContext& context);
