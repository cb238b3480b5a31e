// Packages and bundles made by the pkgtool binary, installed by the installer
// binary into a fresh router root: what pkgtool was told is what the router
// ends up with.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/RouterRoot.h"
#include "support/Sandbox.h"
#include "tools/PkgtoolCheck.h"
#include "tools/Signer.h"

namespace {

using e2e::RouterRoot;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

testsupport::ProcessResult pkgtool(const std::vector<std::string>& args) {
    return testsupport::runProgram(PKGTOOL_BINARY, args);
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

bool installerAcceptsDevelopmentKey() {
    std::vector<pkgtool::PublicKey> keys = pkgtool::builtInPublicKeys();
    std::string dev = pkgsign::publicKeyFor(pkgsign::developmentSecretKey());
    return std::any_of(keys.begin(), keys.end(), [&](const pkgtool::PublicKey& k) {
        return std::string(k.begin(), k.end()) == dev;
    });
}

unsigned modeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

class PkgtoolInstall : public ::testing::Test {
protected:
    void SetUp() override {
        if (!installerAcceptsDevelopmentKey())
            GTEST_SKIP() << "this build's installer does not accept the development key";
    }

    // Builds with pkgtool into the work directory and returns the file's bytes.
    std::string build(const std::string& name, const std::string& tree,
                      std::vector<std::string> extra) {
        std::string out = work_ / (name + ".npk");
        std::vector<std::string> args = {"build",     "-o",           out,         "--name", name,
                                         "--dev-key", "--build-time", "1700000000"};
        if (tree.empty())
            args.push_back("--no-files");
        else
            args.push_back(tree);
        args.insert(args.end(), extra.begin(), extra.end());
        testsupport::ProcessResult r = pkgtool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return readFile(out);
    }

    TempDir work_;
};

TEST_F(PkgtoolInstall, BuiltPackagesInstallWithTheirFilesModesAndMetadata) {
    testsupport::makeDirs(work_ / "base/bin");
    testsupport::makeDirs(work_ / "base/etc/base");
    writeFile(work_ / "base/bin/base-tool", "#!/bin/sh\necho base\n", 0755);
    ::chmod((work_ / "base/bin/base-tool").c_str(), 0755);
    writeFile(work_ / "base/etc/base/conf", "x=1\n", 0600);
    ::chmod((work_ / "base/etc/base/conf").c_str(), 0600);
    ::symlink("base-tool", (work_ / "base/bin/alias").c_str());
    testsupport::makeDirs(work_ / "routing/lib");
    writeFile(work_ / "routing/lib/common.so", "common");
    writeFile(work_ / "routing/lib/variant.so", "class three only");

    std::string base = build("base", work_ / "base", {"--version", "6.2", "--note", "the base"});
    std::string routing =
        build("routing", work_ / "routing",
              {"--version", "6.2.1", "--depends", "base>=6.0", "--provides", "bgp:5", "--conflicts",
               "oldroute<=1.0", "--note", "routing suite", "--class", "lib/variant.so=3"});

    RouterRoot root;
    // routing needs base: refused while base is missing, nothing staged.
    testsupport::ProcessResult refused = root.install(routing);
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(contains(
        refused.out, "can not install routing-6.2.1: base-6.0 is not installed, but is required"))
        << refused.out;
    EXPECT_FALSE(root.exists("/flash/lib/common.so"));

    testsupport::ProcessResult first = root.install(base);
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_TRUE(contains(first.out, "installed base-6.2\n")) << first.out;
    testsupport::ProcessResult second = root.install(routing);
    ASSERT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_TRUE(contains(second.out, "installed routing-6.2.1\n")) << second.out;

    EXPECT_EQ(root.read("/flash/bin/base-tool"), "#!/bin/sh\necho base\n");
    EXPECT_EQ(modeOf(root.at("/flash/bin/base-tool")), 0755u);
    EXPECT_EQ(modeOf(root.at("/flash/etc/base/conf")), 0600u);
    EXPECT_FALSE(root.exists("/flash/bin/alias"));  // links are carried, not installed
    EXPECT_EQ(root.read("/flash/lib/common.so"), "common");
    EXPECT_FALSE(root.exists("/flash/lib/variant.so"));  // not a class-3 machine

    const std::string v620 = std::to_string(makeVersion(6, 2, 'f', 0));
    const std::string v621 = std::to_string(makeVersion(6, 2, 'f', 1));
    EXPECT_EQ(root.read("/flash/var/pdb/base/version"), v620 + " 1700000000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/base/files"), "flash/bin/base-tool\nflash/etc/base/conf\n");
    EXPECT_EQ(root.read("/flash/var/pdb/routing/version"), v621 + " 1700000000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/routing/deps"),
              "base " + std::to_string(makeVersion(6, 0, 'f', 0)) + " 0\n");
    EXPECT_EQ(root.read("/flash/var/pdb/routing/provides"), "bgp 0 0 5\n");
    EXPECT_EQ(root.read("/flash/var/pdb/routing/conflicts"),
              "oldroute 0 " + std::to_string(makeVersion(1, 0, 'f', 0)) + "\n");
    EXPECT_EQ(root.read("/flash/var/pdb/routing/files"), "flash/lib/common.so\n");

    testsupport::ProcessResult shown = root.run({"--show"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_TRUE(contains(shown.out, "6.2.1")) << shown.out;
    EXPECT_TRUE(contains(shown.out, " routing ")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "Nov/14/2023 22:13:20")) << shown.out;
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST_F(PkgtoolInstall, ADamagedPackageIsRefusedAndNothingIsInstalled) {
    testsupport::makeDirs(work_ / "tree/bin");
    writeFile(work_ / "tree/bin/x", "payload");
    std::string good = build("damaged", work_ / "tree", {"--version", "1.0"});
    RouterRoot root;
    std::string before = root.listingWithoutPostLog();
    // The last byte of s: only the signature check can notice it.
    std::string bad = good;
    bad[bad.size() - 1] ^= 0x40;
    writeFile(work_ / "bad.npk", bad);
    EXPECT_EQ(pkgtool({"verify", work_ / "bad.npk"}).status, 1);
    testsupport::ProcessResult r = root.install(bad);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(contains(r.out, "installation of damaged-1.0 failed: broken package")) << r.out;
    EXPECT_FALSE(root.exists("/flash/bin/x"));
    EXPECT_EQ(root.listingWithoutPostLog(), before);

    EXPECT_EQ(pkgtool({"verify", work_ / "damaged.npk"}).status, 0);
    EXPECT_EQ(root.install(good).status, 0);
    EXPECT_EQ(root.read("/flash/bin/x"), "payload");
}

TEST_F(PkgtoolInstall, ABundleIsKeptWholeAndItsDefaultOffMemberInstalledDisabled) {
    testsupport::makeDirs(work_ / "core/bin");
    writeFile(work_ / "core/bin/core", "core");
    testsupport::makeDirs(work_ / "wifi/bin");
    writeFile(work_ / "wifi/bin/wifi", "wifi");
    build("core", work_ / "core", {"--version", "2.0"});
    build("wifi", work_ / "wifi", {"--version", "2.0beta3"});
    std::string bundlePath = work_ / "suite.npk";
    testsupport::ProcessResult made =
        pkgtool({"bundle", "--name", "suite", "--version", "2.0", "--build-time", "1700000000",
                 "--default-off", "wifi", "--note", "whole suite", "-o", bundlePath,
                 work_ / "core.npk", work_ / "wifi.npk"});
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_EQ(pkgtool({"verify", bundlePath}).status, 0);
    std::string bundle = readFile(bundlePath);

    RouterRoot root;
    testsupport::ProcessResult r = root.install(bundle);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "installed suite-2.0\n")) << r.out;
    EXPECT_EQ(root.read("/flash/bin/core"), "core");
    EXPECT_EQ(root.read("/flash/x/wifi/bin/wifi"), "wifi");
    EXPECT_FALSE(root.exists("/flash/bin/wifi"));
    EXPECT_EQ(root.read("/flash/var/pdb/wifi/disabled"), "auto\n");
    EXPECT_EQ(root.read("/flash/var/pdb/suite/image"), bundle);

    // Read back from the stored image at the next start: members stay.
    testsupport::ProcessResult shown = root.run({"--show"});
    EXPECT_EQ(shown.status, 0);
    for (const char* name : {"core", "wifi", "suite", "2.0beta3", "whole suite"})
        EXPECT_TRUE(contains(shown.out, name)) << name << "\n" << shown.out;
    EXPECT_TRUE(contains(shown.out, "XB ")) << shown.out;
}

TEST_F(PkgtoolInstall, AnUploadedPackageIsInstalledByTheUpgradeRun) {
    testsupport::makeDirs(work_ / "tree/sbin");
    writeFile(work_ / "tree/sbin/daemon", "daemon", 0700);
    ::chmod((work_ / "tree/sbin/daemon").c_str(), 0700);
    std::string bytes = build("daemon", work_ / "tree", {"--version", "3.20rc2"});
    RouterRoot root;
    // The space check looks at both file systems; here they are the test's own.
    testsupport::makeDirs(root.at("/flash/boot"));
    root.write("/flash/rw/pckg/daemon-3.20rc2.npk", bytes);
    testsupport::ProcessResult r = root.run({});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "installed daemon-3.20rc2\n")) << r.out;
    EXPECT_EQ(root.read("/flash/sbin/daemon"), "daemon");
    EXPECT_EQ(modeOf(root.at("/flash/sbin/daemon")), 0700u);
    EXPECT_TRUE(root.exists("/flash/PCKGS_CHANGED"));
}

}  // namespace
