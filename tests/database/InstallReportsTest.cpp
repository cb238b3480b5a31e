// The progress line and the failure messages that name a package being installed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>

#include "database/DatabaseWriter.h"
#include "model/InstallContext.h"
#include "model/PackageReports.h"
#include "package/InstallProgress.h"
#include "package/PartReader.h"
#include "support/Sandbox.h"
#include "tools/PackageWriter.h"
#include "transaction/FsTransaction.h"

namespace {

const VersionNumber kV62 = makeVersion(6, 2, kStageFinal, 0);
const VersionNumber kV10 = makeVersion(1, 0, kStageFinal, 0);

PackageRecord member() {
    PackageRecord r("a");
    r.version = kV10;
    r.bundle = {"b", kV62, kV62, 0};
    return r;
}

// What the body reports on a console of its own.
std::string consoleOf(const std::function<void(Console&)>& body) {
    Console reporter;
    std::ostringstream console;
    reporter.setOutput(console);
    body(reporter);
    return console.str();
}

TEST(InstallReports, DisplayNameUsesTheBundleOfAMember) {
    EXPECT_EQ(displayName(member()), "b-6.2");
    PackageRecord single("c");
    single.version = kV10;
    EXPECT_EQ(displayName(single), "c-1.0");
    PackageRecord loaded("d");
    loaded.bundle.name = "e";  // from a "bundle" file: no version known
    EXPECT_EQ(displayName(loaded), "e");
}

TEST(InstallReports, CreateFailureByErrorNumber) {
    EXPECT_EQ(consoleOf([](Console& reporter) {
                  errno = ENOSPC;
                  reportCreateFailure(reporter, member(), "/flash/bin/x");
              }),
              "ERROR: installation of b-6.2 failed: disk is too small\n");
    EXPECT_EQ(consoleOf([](Console& reporter) {
                  errno = EIO;
                  reportCreateFailure(reporter, member(), "meta/files");
              }),
              "ERROR: installation of b-6.2 failed: disk error\n");
    PackageRecord single("c");
    single.version = kV10;
    EXPECT_EQ(consoleOf([&single](Console& reporter) {
                  errno = EACCES;
                  reportCreateFailure(reporter, single, "meta/deps");
              }),
              "ERROR: installation of c-1.0 failed: could not create meta/deps: " +
                  std::string(std::strerror(EACCES)) + "\n");
    EXPECT_EQ(consoleOf([&single](Console& reporter) { reportBrokenPackage(reporter, single); }),
              "ERROR: installation of c-1.0 failed: broken package\n");
}

TEST(InstallReports, ProgressFollowsTheReaderThroughThePackage) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = "c";
    recipe.version = kV10;
    recipe.note = std::string(1000, 'n');
    const std::string file = pkgwriter::writePackage(recipe);
    const uint32_t total = static_cast<uint32_t>(file.size());
    std::string label = "installing  (disabled) c-1.0";  // 28 characters: 46 marks
    auto bar = [&](uint32_t position) {
        size_t filled = static_cast<size_t>(uint64_t{position} * 46 / total);
        return label + " [" + std::string(filled, '#') + std::string(46 - filled, ' ') + "]";
    };
    std::string console = consoleOf([&](Console& reporter) {
        std::istringstream source(file);
        PartReader reader(source, false, nullptr);
        reader.acceptedTypes = {kPartHeader, kPartNote};
        PackageRecord single("c");
        single.version = kV10;
        single.disabled = true;
        ASSERT_EQ(reader.nextPart(), kPartHeader);
        showInstallProgress(reporter, single, reader);
        EXPECT_EQ(reporter.status, bar(kFileHeaderSize + 6));
        ASSERT_EQ(reader.nextPart(), kPartNote);
        char buffer[600];
        reader.read(buffer, 600);
        uint32_t noteStart = reader.partOffset();
        showInstallProgress(reporter, single, reader);
        EXPECT_EQ(reporter.status, bar(noteStart + 600));
        // reading past the end of the part puts the stream in eof state
        reader.read(buffer, 600);
        EXPECT_TRUE(reader.eof());
        showInstallProgress(reporter, single, reader);
        EXPECT_EQ(reporter.status, bar(noteStart + 1000));
        // a member is shown under its bundle, without the disabled mark
        PackageRecord m = member();
        m.disabled = true;
        showInstallProgress(reporter, m, reader);
        EXPECT_EQ(reporter.status.substr(0, 18), "installing b-6.2 [");
        reporter.setStatus("");
    });
    EXPECT_NE(console.find("\rinstalling  (disabled) c-1.0 [" + std::string(46, ' ') + "]"),
              std::string::npos);
}

TEST(InstallReports, ReclaimDatabaseDir) {
    testsupport::TempDir root;
    testsupport::makeDirs(root / "flash/var/pdb/old");
    testsupport::writeFile(root / "flash/var/pdb/file", "");
    ASSERT_EQ(testsupport::runChrooted(
                  root.path(),
                  [] {
                      FsTransaction transaction;
                      PackageRecord old("old");
                      transaction.remove("/flash/var/pdb/old/");
                      ASSERT_EQ(transaction.entries.size(), 1u);
                      EXPECT_TRUE(reclaimDatabaseDir(old, transaction));
                      EXPECT_TRUE(transaction.entries.empty());
                      EXPECT_TRUE(reclaimDatabaseDir(PackageRecord("new"), transaction));
                      EXPECT_FALSE(reclaimDatabaseDir(PackageRecord("file"), transaction));
                  }),
              0);
}

}  // namespace
