#include "model/InstallContext.h"

#include <algorithm>

std::unique_ptr<PackageRecord> InstallContext::release(const PackageRecord* record) {
    auto it = std::find_if(
        packages.begin(), packages.end(),
        [record](const std::unique_ptr<PackageRecord>& p) { return p.get() == record; });
    if (it == packages.end()) return nullptr;
    std::unique_ptr<PackageRecord> owned = std::move(*it);
    packages.erase(it);
    return owned;
}

PackageRecord* InstallContext::append(std::unique_ptr<PackageRecord> record) {
    packages.push_back(std::move(record));
    return packages.back().get();
}
