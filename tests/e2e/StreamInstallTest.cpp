#include <gtest/gtest.h>

#include "e2e/RouterRoot.h"

namespace {

using e2e::RouterRoot;

TEST(StreamInstall, NewPackageIsInstalledAndRecorded) {
    RouterRoot root;
    auto spec = e2e::simplePackage("hello", makeVersion(1, 0, 'f', 0));
    spec.files.push_back(e2e::file("bin/hello", "#!/bin/sh\necho hi\n", 0755));
    auto result = root.install(e2e::signedPackage(spec));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(root.read("/flash/bin/hello"), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(root.read("/flash/var/pdb/hello/version"), "16803328 1000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/hello/files"), "flash/bin/hello\nflash/opt/hello/README\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_TRUE(root.temporaryFiles().empty());
    EXPECT_NE(result.out.find("installed hello-1.0\n"), std::string::npos) << result.out;
    EXPECT_EQ(root.read("/flash/postlog"), "installed hello-1.0\n");
}

}  // namespace
