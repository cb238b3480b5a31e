#pragma once
// A package database laid out on disk below a temporary root, for tests that run
// the installer's code chrooted into that root.
#include <functional>
#include <memory>
#include <string>

#include "model/InstallContext.h"
#include "model/PackageRecord.h"
#include "support/Sandbox.h"

namespace dbtest {

class DatabaseTree {
public:
    DatabaseTree() {
        testsupport::makeDirs(root.path() + "/flash/var/pdb");
        testsupport::makeDirs(root.path() + "/ram");
    }
    // A file at an absolute path as seen inside the root.
    void file(const std::string& path, const std::string& content) {
        testsupport::writeFile(root.path() + path, content);
    }
    // A file in the database directory of a package.
    void entry(const std::string& package, const std::string& name, const std::string& content) {
        file("/flash/var/pdb/" + package + "/" + name, content);
    }
    void schedule(const std::string& package, const std::string& word) {
        file("/ram/pdb/" + package + "/schedule", word);
    }
    void directory(const std::string& path) { testsupport::makeDirs(root.path() + path); }
    std::string read(const std::string& path) const {
        return testsupport::readFile(root.path() + path);
    }
    bool exists(const std::string& path) const { return testsupport::exists(root.path() + path); }
    // Runs body chrooted into the root; true when it ran without test failures.
    bool run(const std::function<void()>& body) {
        return testsupport::runChrooted(root.path(), body) == 0;
    }

    testsupport::TempDir root;
};

inline const PackageRecord* findRecord(const InstallContext& context, const std::string& name) {
    for (const auto& record : context.packages)
        if (record->name == name) return record.get();
    return nullptr;
}

inline size_t positionOf(const InstallContext& context, const PackageRecord* record) {
    for (size_t i = 0; i < context.packages.size(); ++i)
        if (context.packages[i].get() == record) return i;
    return context.packages.size();
}

}  // namespace dbtest
