// Choosing among candidate packages: superseded ones are dropped, the rest are
// ordered so that a package comes after what it needs and what excludes it.
#include "model/InstallContext.h"
#include "package/PackageHeader.h"
#include "planning/ChangePlanning.h"
#include "planning/Eligibility.h"

namespace {

template <typename Record>
bool supersededInList(InstallContext& context, const std::vector<Record*>& list, size_t x,
                      bool preferOlder, bool report) {
    const Record& candidate = *list[x];
    // Every comparison is against the whole input, so a candidate that is itself
    // dropped can still drop others.
    for (size_t y = 0; y < list.size(); ++y) {
        if (y == x) continue;
        const Record& other = *list[y];
        if (!namesPackage(candidate, other.name) && !namesPackage(other, candidate.name)) continue;
        int c = compareForChoice(other, candidate, preferOlder);
        if (c > 0) {
            if (report) {
                context.console.reportWarning(
                    preferOlder ? "omitting package %s: older package is already provided"
                                : "omitting package %s: newer package is already provided",
                    nameWithVersion(candidate).c_str());
            }
            return true;
        }
        // Of equals only one kind survives: a bundle keeps its place against the
        // single package it contains, while equal singles drop each other.
        if (c == 0 && !(candidate.isBundle && !other.isBundle)) return true;
    }
    return false;
}

}  // namespace

template <typename Record>
void selectCandidates(InstallContext& context, std::vector<Record*>& list, bool preferOlder,
                      bool report) {
    std::vector<Record*> survivors;
    for (size_t x = 0; x < list.size(); ++x) {
        if (!supersededInList(context, list, x, preferOlder, report)) survivors.push_back(list[x]);
    }
    std::vector<Record*> ordered;
    ordered.reserve(survivors.size());
    for (Record* candidate : survivors) {
        size_t at = 0;
        for (size_t k = ordered.size(); k-- > 0;) {
            if (dependsOn(*candidate, *ordered[k]) || excludes(*ordered[k], *candidate)) {
                at = k + 1;
                break;
            }
        }
        ordered.insert(ordered.begin() + static_cast<std::ptrdiff_t>(at), candidate);
    }
    list.swap(ordered);
}

template void selectCandidates<PackageRecord>(InstallContext&, std::vector<PackageRecord*>&, bool,
                                              bool);
template void selectCandidates<PackageFile>(InstallContext&, std::vector<PackageFile*>&, bool,
                                            bool);
