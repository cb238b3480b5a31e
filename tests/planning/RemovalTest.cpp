// Carrying out plans on a real file tree: each test runs in a child that has
// changed root into a fresh temporary tree, since the paths are absolute.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "PackageSetText.h"
#include "install/ApplyPlan.h"
#include "install/PackageRemoval.h"
#include "model/InstallContext.h"
#include "planning/ChangePlanning.h"
#include "support/Sandbox.h"
#include "transaction/FsTransaction.h"

namespace {

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

// The console bytes of a status line change, as the context writes them.
std::string statusBytes(const std::string& text, size_t previousLength) {
    std::string bytes = "\x1b[?25l\r" + text;
    if (previousLength > text.size()) bytes += std::string(previousLength - text.size(), ' ');
    return bytes + "\r\x1b[?25h";
}

class Removal : public ::testing::Test {
protected:
    Removal() {
        for (const char* dir : {"/flash/bin", "/flash/lib", "/flash/var/pdb", "/ram", "/outside"})
            testsupport::makeDirs(root.path() + dir);
    }
    // Installs a package's database directory and files in the tree.
    void installInTree(const std::string& name, const std::vector<std::string>& files) {
        std::string dir = root.path() + "/flash/var/pdb/" + name;
        testsupport::makeDirs(dir);
        writeFile(dir + "/version", "16842752 0\n");
        std::string list;
        for (const std::string& f : files) {
            writeFile(root.path() + f, "contents of " + f);
            list += f.substr(1) + "\n";
        }
        writeFile(dir + "/files", list);
    }
    void runInRoot(const std::function<void()>& body) {
        EXPECT_EQ(testsupport::runChrooted(root.path(), body), 0);
    }

    testsupport::TempDir root;
};

TEST_F(Removal, UninstallRemovesFilesDatabaseEntryImageAndBootImage) {
    installInTree("base", {"/flash/bin/base"});
    installInTree("pkg", {"/flash/bin/tool", "/flash/lib/libx.so"});
    writeFile(root.path() + "/flash/bootimage", "kernel");
    ASSERT_EQ(symlink("/flash/bootimage", (root.path() + "/flash/var/pdb/pkg/image").c_str()), 0);
    writeFile(root.path() + "/outside/keep", "not ours");
    runInRoot([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        plantest::addPackages(context, "base 1.0\npkg 1.0 uninstall flags=1\n");
        context.packages[0]->files = {"/flash/bin/base"};
        // "/flash/gone" no longer exists; "/outside/keep" was never installed by us.
        context.packages[1]->files = {"/flash/bin/tool", "/flash/lib/libx.so", "/flash/gone",
                                      "/outside/keep"};
        FsTransaction transaction;
        EXPECT_TRUE(applyPlan(context, transaction, 2));
        ASSERT_EQ(context.packages.size(), 1u);
        EXPECT_EQ(context.packages[0]->name, "base");
        transaction.commit(nullptr);

        EXPECT_FALSE(exists("/flash/bin/tool"));
        EXPECT_FALSE(exists("/flash/lib/libx.so"));
        EXPECT_FALSE(exists("/flash/var/pdb/pkg"));
        EXPECT_FALSE(exists("/flash/bootimage"));
        EXPECT_TRUE(exists("/outside/keep"));
        EXPECT_TRUE(exists("/flash/bin/base"));
        EXPECT_TRUE(exists("/flash/var/pdb/base/files"));

        const std::string status = "uninstalling pkg-1.0...";
        EXPECT_EQ(console.str(), statusBytes(status, 0) + statusBytes("", status.size()) +
                                     "uninstalled pkg-1.0\n");
        EXPECT_EQ(context.console.messages, std::vector<std::string>{"uninstalled pkg-1.0"});
    });
}

TEST_F(Removal, BootImageWithAnotherLinkStays) {
    installInTree("base", {"/flash/bin/base"});
    installInTree("pkg", {"/flash/bin/tool"});
    writeFile(root.path() + "/flash/bootimage", "kernel");
    ASSERT_EQ(link((root.path() + "/flash/bootimage").c_str(),
                   (root.path() + "/flash/bootimage.old").c_str()),
              0);
    installInTree("plain", {"/flash/bin/plain"});
    runInRoot([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        plantest::addPackages(context, "base 1.0\npkg 1.0 uninstall flags=1\n");
        context.packages[1]->files = {"/flash/bin/tool"};
        FsTransaction transaction;
        EXPECT_TRUE(applyPlan(context, transaction, 0));
        EXPECT_EQ(transaction.entries.count(kBootImagePath), 0u);
        transaction.commit(nullptr);
        EXPECT_FALSE(exists("/flash/bin/tool"));
        EXPECT_FALSE(exists("/flash/var/pdb/pkg"));
        EXPECT_TRUE(exists("/flash/bootimage"));
        EXPECT_EQ(console.str(), "") << "verbosity 0 prints nothing";
    });
    // Without the boot-image flag the boot image is never touched.
    ASSERT_EQ(unlink((root.path() + "/flash/bootimage.old").c_str()), 0);
    runInRoot([] {
        InstallContext context;
        PackageRecord& plain = plantest::addPackage(context, "plain 1.0");
        plain.files = {"/flash/bin/plain"};
        FsTransaction transaction;
        removePackage(plain, transaction);
        EXPECT_EQ(transaction.entries.count(kBootImagePath), 0u);
        EXPECT_EQ(transaction.entries.count("/flash/bin/plain"), 1u);
        EXPECT_TRUE(plain.files.empty());
    });
}

TEST_F(Removal, FilesAlreadyGoneWithdrawTheirStagedChanges) {
    installInTree("pkg", {"/flash/bin/tool"});
    ASSERT_EQ(unlink((root.path() + "/flash/bin/tool").c_str()), 0);
    writeFile(root.path() + "/ram/new-tool", "new");
    runInRoot([] {
        InstallContext context;
        PackageRecord& pkg = plantest::addPackage(context, "pkg 1.0 uninstall");
        pkg.files = {"/flash/bin/tool"};
        FsTransaction transaction;
        transaction.move("/ram/new-tool", "/flash/bin/tool");
        removePackage(pkg, transaction);
        EXPECT_EQ(transaction.entries.count("/flash/bin/tool"), 0u);
        EXPECT_EQ(pkg.pendingAction, kActionNone);
        transaction.commit(nullptr);
        EXPECT_FALSE(exists("/flash/var/pdb/pkg"));
        EXPECT_TRUE(exists("/ram/new-tool"));
    });
}

TEST_F(Removal, UninstallByName) {
    installInTree("pkg", {"/flash/bin/tool"});
    runInRoot([] {
        InstallContext context;
        plantest::addPackages(context, "base 1.0\npkg 1.0\n");
        context.packages[1]->files = {"/flash/bin/tool"};
        FsTransaction transaction;
        EXPECT_FALSE(uninstallByName(context, transaction, "absent"));
        EXPECT_TRUE(transaction.empty());
        EXPECT_FALSE(uninstallByName(context, transaction, "PKG"));
        EXPECT_TRUE(uninstallByName(context, transaction, "pkg"));
        ASSERT_EQ(context.packages.size(), 1u);
        EXPECT_EQ(context.packages[0]->name, "base");
        EXPECT_EQ(transaction.entries.count("/flash/bin/tool"), 1u);
        EXPECT_EQ(transaction.entries.count("/flash/var/pdb/pkg/"), 1u);
        EXPECT_TRUE(context.console.messages.empty());
    });
}

TEST_F(Removal, AnnouncementsByVerbosity) {
    installInTree("base", {"/flash/bin/base"});
    installInTree("a", {"/flash/bin/a"});
    installInTree("u", {"/flash/bin/u"});
    installInTree("b", {"/flash/bin/b"});
    installInTree("c", {"/flash/bin/c"});
    runInRoot([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        plantest::addPackages(context,
                              "base 1.0\n"
                              "a 1.0 disable\n"
                              "u 1.0 uninstall\n"
                              "b 2.0 disabled enable user\n"
                              "c 1.0 disabled disable\n");
        context.packages[2]->files = {"/flash/bin/u"};
        FsTransaction transaction;
        EXPECT_TRUE(applyPlan(context, transaction, 1));
        // The removal list runs c, u, a: u goes without a word at verbosity 1.
        std::string expected;
        size_t shown = 0;
        for (const std::string& step :
             {std::string("disabling c-1.0..."), std::string("disabled c-1.0"),
              std::string("disabling a-1.0..."), std::string("disabled a-1.0"),
              std::string("enabling b-2.0..."), std::string("enabled b-2.0")}) {
            if (step.compare(step.size() - 3, 3, "...") == 0) {
                expected += statusBytes(step, shown);
                shown = step.size();
            } else {
                expected += statusBytes("", shown) + step + "\n";
                shown = 0;
            }
        }
        EXPECT_EQ(console.str(), expected);
        EXPECT_EQ(context.console.messages,
                  (std::vector<std::string>{"disabled c-1.0", "disabled a-1.0", "enabled b-2.0"}));
        EXPECT_EQ(plantest::pendingText(context), "-");
        EXPECT_TRUE(context.packages[1]->disabled);
        EXPECT_FALSE(context.packages[2]->disabled);
        transaction.commit(nullptr);
        EXPECT_EQ(readFile("/flash/var/pdb/a/disabled"), "auto\n");
        EXPECT_EQ(readFile("/flash/var/pdb/c/disabled"), "auto\n");
        EXPECT_EQ(readFile("/flash/var/pdb/b/enabled"), "user\n");
        EXPECT_FALSE(exists("/flash/var/pdb/u"));
        EXPECT_FALSE(exists("/flash/bin/u"));
    });
}

TEST(ApplyPlan, EmptyPackageListChangesNothing) {
    InstallContext context;
    std::ostringstream console;
    context.console.setOutput(console);
    std::vector<PackageRecord*> removal, enable;
    EXPECT_TRUE(planChanges(context, removal, enable, true));
    EXPECT_TRUE(removal.empty() && enable.empty());
    FsTransaction transaction;
    EXPECT_FALSE(applyPlan(context, transaction, 1));
    EXPECT_TRUE(transaction.empty());
    EXPECT_EQ(console.str(), "");
}

TEST(ApplyPlan, RefusedPlanCarriesNothingOut) {
    InstallContext context;
    std::ostringstream console;
    context.console.setOutput(console);
    plantest::addPackages(context, "only 1.0 uninstall\n");
    FsTransaction transaction;
    EXPECT_FALSE(applyPlan(context, transaction, 1));
    EXPECT_TRUE(transaction.empty());
    EXPECT_EQ(context.packages.size(), 1u);
    EXPECT_EQ(console.str(), "ERROR: can not uninstall or disable all packages\n");
    EXPECT_FALSE(applyPlan(context, transaction, 0)) << "nothing pending any more";
}

}  // namespace
