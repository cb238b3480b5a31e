// A stream install that fails must leave the router exactly as it was: every
// file, link and directory byte-identical apart from the post-log, which gains
// the failure's message, and no temporary file anywhere. One root serves every
// case in a row, so a change left by any of them shows up in the next check.
// Damage at every byte is the damaged-input sweep's; these are the packages
// that are well formed and still must not install.
#include <gtest/gtest.h>

#include "tools/harness/RouterRoot.h"
#include "platform/ByteOrder.h"

namespace {

using pkgwriter::PackageRecipe;
using pkgwriter::Part;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

std::string broken(const std::string& what) {
    return "ERROR: installation of " + what + "-2.0 failed: broken package\n";
}

PackageRecipe upgradeOfX(const std::vector<pkgwriter::ContainerFile>& extra = {}) {
    PackageRecipe recipe = e2e::simplePackage("x", kV2, 2000);
    recipe.files.push_back(e2e::file("lib/x0", e2e::incompressibleBytes(6000, 40)));
    recipe.files.insert(recipe.files.end(), extra.begin(), extra.end());
    return recipe;
}

std::string bundle(const std::string& name, const std::vector<std::string>& members,
                   VersionNumber version = kV2) {
    pkgwriter::BundleRecipe recipe;
    recipe.name = name;
    recipe.version = version;
    recipe.imagePart = std::string();
    for (const std::string& member : members)
        recipe.members.push_back(e2e::simplePackage(member, version));
    return e2e::signedBundle(recipe);
}

// The package with the declared length of its part of type runs 1 MiB past the
// data, swallowing the signature.
std::string withTextPartTooLong(uint16_t type) {
    PackageRecipe recipe = upgradeOfX();
    recipe.architecture = "i386";
    recipe.description = "text";
    std::vector<Part> parts = e2e::splitParts(e2e::signedPackage(recipe));
    std::string body;
    for (const Part& part : parts) {
        std::string header = pkgwriter::partHeader(
            part.type, uint32_t(part.payload.size()) + (part.type == type ? 1u << 20 : 0));
        body += header + part.payload;
    }
    return pkgwriter::fileHeader(kMagicRegular, uint32_t(body.size())) + body;
}

struct Case {
    std::string what;
    std::string bytes;
    std::string messages;  // what the failure adds to the post-log
    std::map<std::string, std::string> environment = {};
};

std::vector<Case> cases() {
    std::vector<Case> all;
    for (std::string name : {"../x", "a/../../b", "", "with space", "..", "/..", "bin/..",
                             "tab\there", "new\nline", ".", "bin/", "bin/.", "./bin", "lib//x9",
                             "//etc/x", "a/./b", "/"})
        all.push_back({"entry \"" + name + "\"",
                       e2e::signedPackage(upgradeOfX({e2e::file(name, "escaping\n")})), broken("x")});
    pkgwriter::ContainerFile link = e2e::file("../outside", "/etc/passwd");
    link.type = pkgwriter::EntryType::Symlink;
    all.push_back({"link entry outside", e2e::signedPackage(upgradeOfX({link})), broken("x")});
    // A file can never take the place of a directory: its own, another
    // package's or the database's.
    for (std::string name : {"lib", "/lib", "var/pdb/whole", "var"})
        all.push_back({"entry onto folder " + name,
                       e2e::signedPackage(upgradeOfX({e2e::file(name, "over a folder\n")})),
                       "ERROR: installation of x-2.0 failed: could not create " + name +
                           ": Is a directory\n"});
    for (std::string name : {"..", ".", "a/b", "", "sp ace", "../../etc"}) {
        PackageRecipe recipe = e2e::simplePackage(name, kV2);
        recipe.files = {e2e::file("opt/unsafe", "unsafe\n")};
        all.push_back({"package \"" + name + "\"", e2e::signedPackage(recipe), broken(name)});
    }
    all.push_back({"bundle \"..\"", bundle("..", {"member", "fine"}), broken("..")});
    all.push_back({"bundle \"a/b\"", bundle("a/b", {"member", "fine"}), broken("a/b")});
    // The first member is already staged when the second turns out bad.
    all.push_back({"member \"../m\"", bundle("suite", {"member", "../m"}), broken("suite")});
    std::vector<Part> parts = e2e::splitParts(e2e::signedPackage(upgradeOfX()));
    parts.pop_back();
    all.push_back({"no signature part", pkgwriter::writePartsFile(parts), broken("x")});
    all.push_back({"signed by nobody", pkgwriter::writePackage(upgradeOfX()), broken("x")});
    for (uint16_t type : {kPartArchitecture, kPartDescription})
        all.push_back({"text part too long", withTextPartTooLong(type), broken("x")});
    PackageRecipe whole = e2e::simplePackage("whole", kV2);
    whole.imagePart = std::string("replacement");
    std::string wholeBytes = e2e::signedPackage(whole);
    wholeBytes[wholeBytes.size() - 3] ^= 0x40;
    all.push_back({"image package, bad signature", wholeBytes, broken("whole")});
    PackageRecipe boot = upgradeOfX();
    boot.flags = 1;
    boot.imagePart = std::string("new boot");
    std::string bootBytes = e2e::signedPackage(boot);
    bootBytes[bootBytes.size() - 3] ^= 0x40;
    all.push_back({"boot package, bad signature", bootBytes, broken("x"), {{"bootimage", "1"}}});
    return all;
}

// Installed packages a failed upgrade must not disturb: x itself, a package
// kept whole in its image, a bundle, the boot image and an earlier post-log.
TEST(FailureIsolation, RefusedPackagesLeaveNoTrace) {
    e2e::RouterRoot root;
    PackageRecipe whole = e2e::simplePackage("whole", kV1);
    whole.imagePart = std::string("stored whole");
    PackageRecipe x = e2e::simplePackage("x", kV1);
    x.files.push_back(e2e::file("lib/x0", "first library\n"));
    for (const std::string& bytes : {e2e::signedPackage(x),
                                     e2e::signedPackage(whole),
                                     bundle("suite", {"alpha", "beta", "gamma"}, kV1)})
        ASSERT_EQ(root.install(bytes).status, 0);
    root.write("/flash/bootimage", "the boot image");

    // A bundle cut at a member's start ends before the length its file header
    // declares: its old members must not be taken for dropped.
    std::string next = bundle("suite", {"alpha", "beta", "gamma"});
    std::vector<size_t> starts;
    size_t at = kFileHeaderSize;
    for (const Part& part : e2e::splitParts(next)) {
        if (part.type == kPartHeader) starts.push_back(at);
        at += kPartHeaderSize + part.payload.size();
    }
    ASSERT_EQ(starts.size(), 3u);
    std::vector<Case> all = cases();
    all.push_back({"bundle cut after a member", next.substr(0, starts[1]), ""});
    all.push_back({"bundle cut in a member header", next.substr(0, starts[1] + 20), ""});
    all.push_back({"bundle cut in its last member", next.substr(0, next.size() - 30), broken("suite")});

    for (const Case& c : all) {
        SCOPED_TRACE(c.what);
        std::string before = root.listingWithoutPostLog();
        std::string postLog = root.read("/flash/postlog");
        auto result = root.install(c.bytes, {}, c.environment);
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(root.listingWithoutPostLog(), before);
        EXPECT_EQ(root.read("/flash/postlog"), postLog + c.messages);
        EXPECT_EQ(root.temporaryFiles(), std::vector<std::string>());
    }
}

}  // namespace
