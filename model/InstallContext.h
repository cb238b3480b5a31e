#pragma once
// The state of one run: the machine's architecture, the known packages and the
// console everything is reported on. The program's entry point creates the one
// context and hands it on.
#include <memory>
#include <string>
#include <vector>

#include "model/Console.h"
#include "model/PackageRecord.h"

class InstallContext {
public:
    InstallContext() = default;
    InstallContext(const InstallContext&) = delete;
    InstallContext& operator=(const InstallContext&) = delete;

    std::string architecture;
    // known packages in load order; the context owns them
    std::vector<std::unique_ptr<PackageRecord>> packages;
    Console console;

    // Takes the record out of the package list and returns it (null when absent).
    std::unique_ptr<PackageRecord> release(const PackageRecord* record);
    PackageRecord* append(std::unique_ptr<PackageRecord> record);
};
