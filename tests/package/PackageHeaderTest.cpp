#include <gtest/gtest.h>

#include <sstream>

#include "package/PackageHeader.h"
#include "support/Sandbox.h"
#include "tests/package/PartBytes.h"

namespace {

using namespace partbytes;

const std::vector<uint32_t> kLoaderTypes = {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};

// Parses the header of a package whose body is given, with the loader's types.
struct Parsed {
    explicit Parsed(const std::string& body, std::vector<uint32_t> accepted = kLoaderTypes)
        : in(packageFile(body)), reader(in, true, nullptr) {
        reader.acceptedTypes = std::move(accepted);
        reader.nextPart();
        ok = parsePackageHeader(info, reader);
    }
    std::istringstream in;
    PartReader reader;
    PackageInfo info;
    bool ok = false;
};

TEST(PackageHeader, FlagsWordOnlyWhenFourBytesFollow) {
    const std::string arch = part(16, "ppc");
    Parsed plain(part(1, headerPayload("pkg", 0x06026601, 1700000000)) + arch);
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.info.name, "pkg");
    EXPECT_EQ(plain.info.version, 0x06026601u);
    EXPECT_EQ(plain.info.buildTime, 1700000000u);
    EXPECT_EQ(plain.info.flags, 0u);
    EXPECT_EQ(plain.info.architecture, "ppc");
    EXPECT_FALSE(plain.info.isBundle);

    Parsed partial(part(1, headerPayload("pkg", 1, 2, "\x03\x00")) + arch);
    ASSERT_TRUE(partial.ok);
    EXPECT_EQ(partial.info.flags, 0u);
    EXPECT_EQ(partial.info.architecture, "ppc") << "the two extra bytes are consumed";

    Parsed flagged(part(1, headerPayload("pkg", 1, 2, le32(0x80000003u))) + arch);
    ASSERT_TRUE(flagged.ok);
    EXPECT_EQ(flagged.info.flags, 0x80000003u);
    EXPECT_EQ(flagged.info.architecture, "ppc");

    Parsed longer(part(1, headerPayload("pkg", 1, 2, le32(5) + "more")) + arch);
    ASSERT_TRUE(longer.ok);
    EXPECT_EQ(longer.info.flags, 5u);
    EXPECT_EQ(longer.info.architecture, "ppc");
}

TEST(PackageHeader, FlagsArrivingLateOnAPipeAreRead) {
    const std::string body =
        part(1, headerPayload("late", 1, 2, le32(kFlagBootImage))) + part(16, "arm");
    // The first chunk ends right behind the 32 header bytes; the flags word comes
    // only after a pause.
    const size_t cut = 8 + 6 + kHeaderPartSize;
    PipeFeed feed(packageFile(body), {cut}, std::chrono::milliseconds(300));
    PartReader reader(feed.stream(), true, nullptr);
    reader.acceptedTypes = kLoaderTypes;
    ASSERT_EQ(reader.nextPart(), 1);
    PackageInfo info;
    ASSERT_TRUE(parsePackageHeader(info, reader));
    EXPECT_EQ(info.flags, kFlagBootImage);
    EXPECT_EQ(info.architecture, "arm");
}

TEST(PackageHeader, NameFields) {
    Parsed full(part(1, headerPayload("abcdefghijklmnop", 1, 2)));
    ASSERT_TRUE(full.ok);
    EXPECT_EQ(full.info.name, "abcdefghijklmnop");

    Parsed cut(part(1, headerPayload(std::string("ab\0cd", 5), 1, 2)));
    ASSERT_TRUE(cut.ok);
    EXPECT_EQ(cut.info.name, "ab");
}

TEST(PackageHeader, AllMetadataInOrder) {
    const std::string deps = dependencyList(2, {dependencyEntry("system", 0x06000000, 0x06FF0000),
                                                dependencyEntry("abcdefghijklmnopq", 0, 0, -7)});
    const std::string provides = dependencyList(1, {dependencyEntry("cap", 3, 4, 12)});
    const std::string conflicts = dependencyList(1, {dependencyEntry("old", 0, 9)});
    Parsed p(part(1, headerPayload("full", 1, 2)) + part(24, "aux") + part(16, "mipsbe") +
             part(2, "a description") + part(23, "a note") + part(3, deps) + part(19, provides) +
             part(17, conflicts) + part(21, "image") + part(4, "zz"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.info.auxText, "aux");
    EXPECT_EQ(p.info.architecture, "mipsbe");
    EXPECT_EQ(p.info.description, "a description");
    EXPECT_EQ(p.info.note, "a note");
    ASSERT_EQ(p.info.dependencies.size(), 2u);
    EXPECT_EQ(p.info.dependencies[0].name, "system");
    EXPECT_EQ(p.info.dependencies[0].min, 0x06000000u);
    EXPECT_EQ(p.info.dependencies[0].max, 0x06FF0000u);
    EXPECT_EQ(p.info.dependencies[0].precedence, 0);
    EXPECT_EQ(p.info.dependencies[1].name, "abcdefghijklmnop");
    EXPECT_EQ(p.info.dependencies[1].precedence, -7);
    ASSERT_EQ(p.info.provides.size(), 1u);
    EXPECT_EQ(p.info.provides[0].name, "cap");
    EXPECT_EQ(p.info.provides[0].min, 3u);
    EXPECT_EQ(p.info.provides[0].max, 4u);
    EXPECT_EQ(p.info.provides[0].precedence, 12);
    ASSERT_EQ(p.info.conflicts.size(), 1u);
    EXPECT_EQ(p.info.conflicts[0].max, 9u);
    EXPECT_TRUE(p.info.hasImagePart);
    EXPECT_EQ(p.reader.currentType, 21) << "the image part stays current";
    EXPECT_EQ(p.reader.partLength(), 5u);
}

TEST(PackageHeader, ArchitectureAbsentOrEmpty) {
    Parsed absent(part(1, headerPayload("p", 1, 2)) + part(2, "d"));
    ASSERT_TRUE(absent.ok);
    EXPECT_EQ(absent.info.architecture, "i386");
    EXPECT_EQ(absent.info.description, "d");

    Parsed empty(part(1, headerPayload("p", 1, 2)) + part(16, "") + part(2, "d"));
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.info.architecture, "");
    EXPECT_EQ(empty.info.description, "d");

    // A reader that does not accept part 16 never shows it.
    Parsed unseen(part(1, headerPayload("p", 1, 2)) + part(16, "arm"), {1, 23});
    ASSERT_TRUE(unseen.ok);
    EXPECT_EQ(unseen.info.architecture, "i386");
}

TEST(PackageHeader, DependencyListCounts) {
    Parsed none(part(1, headerPayload("p", 1, 2)) + part(3, dependencyList(0, {})) +
                part(19, dependencyList(1, {dependencyEntry("c", 1, 1)})));
    ASSERT_TRUE(none.ok);
    EXPECT_TRUE(none.info.dependencies.empty());
    EXPECT_EQ(none.info.provides.size(), 1u);

    Parsed shortList(
        part(1, headerPayload("p", 1, 2)) +
        part(3, dependencyList(3, {dependencyEntry("a", 1, 1), dependencyEntry("b", 1, 1)})) +
        part(19, dependencyList(0, {})));
    EXPECT_FALSE(shortList.ok);
    EXPECT_EQ(shortList.info.dependencies.size(), 2u) << "fields already parsed stay";

    Parsed noCount(part(1, headerPayload("p", 1, 2)) + part(17, "\x01"));
    EXPECT_FALSE(noCount.ok);

    // A huge count with nothing behind it must not reserve room for its promise.
    std::istringstream in(packageFile(part(3, le16(65535))));
    PartReader reader(in, false, nullptr);
    reader.acceptedTypes = {3};
    ASSERT_EQ(reader.nextPart(), 3);
    std::vector<PackageRange> list;
    EXPECT_FALSE(readDependencyList(reader, list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.capacity(), 0u);
}

TEST(PackageHeader, OutOfOrderMetadataEndsTheParse) {
    Parsed p(part(1, headerPayload("p", 1, 2)) +
             part(3, dependencyList(1, {dependencyEntry("d", 1, 0)})) + part(16, "arm"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.reader.currentType, 16);
    EXPECT_EQ(p.info.architecture, "i386");
    EXPECT_EQ(p.info.dependencies.size(), 1u);
}

TEST(PackageHeader, RejectsWhatIsNotAHeader) {
    Parsed shortHeader(part(1, headerPayload("p", 1, 2).substr(0, 31)) + part(16, "arm"));
    EXPECT_FALSE(shortHeader.ok);

    Parsed notHeader(part(16, "arm") + part(1, headerPayload("p", 1, 2)));
    EXPECT_FALSE(notHeader.ok);

    std::istringstream in("garbage!" + part(1, headerPayload("p", 1, 2)));
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = kLoaderTypes;
    reader.nextPart();
    PackageInfo info;
    EXPECT_FALSE(parsePackageHeader(info, reader));

    // A text part cut short, or longer than any real text, makes the package
    // broken; one at the limit is read whole.
    for (uint32_t declared : {0xFFFFFFF0u, 4u, kMaxTextPartSize + 1}) {
        Parsed cut(part(1, headerPayload("p", 1, 2)) + partHeader(2, declared) + "abc");
        EXPECT_FALSE(cut.ok) << declared;
    }
    std::string longest(kMaxTextPartSize, 'n');
    Parsed atLimit(part(1, headerPayload("p", 1, 2)) + part(23, longest));
    EXPECT_TRUE(atLimit.ok);
    EXPECT_EQ(atLimit.info.note, longest);
}

class PackageFileLoading : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& bytes) {
        testsupport::writeFile(dir / name, bytes);
        return dir / name;
    }
    testsupport::TempDir dir;
};

std::string memberPackage(const std::string& name, uint32_t version) {
    return part(1, headerPayload(name, version, 7)) + part(16, "mipsbe") +
           part(3, dependencyList(1, {dependencyEntry("system", 1, 0)})) +
           part(4, filler(3000, version)) + part(9, filler(68, version));
}

TEST_F(PackageFileLoading, RegularAndUnrecordedPackages) {
    const std::string body = part(1, headerPayload("routing", 0x06026600, 99, le32(2))) +
                             part(2, "desc") + part(21, "img") + part(4, filler(100, 1)) +
                             part(9, filler(68, 2));
    PackageFile file;
    const std::string path = write("routing.npk", packageFile(body));
    ASSERT_TRUE(loadPackageFile(file, path));
    EXPECT_EQ(file.path, path);
    EXPECT_EQ(file.name, "routing");
    EXPECT_EQ(file.version, 0x06026600u);
    EXPECT_EQ(file.flags, 2u);
    EXPECT_EQ(file.description, "desc");
    EXPECT_EQ(file.architecture, "i386");
    EXPECT_TRUE(file.hasImagePart);
    EXPECT_FALSE(file.isBundle);
    EXPECT_EQ(file.expectedSize, body.size() + 8);
    EXPECT_EQ(file.kind, PackageKind::Regular);
    EXPECT_TRUE(file.members.empty());

    PackageFile unrecorded;
    ASSERT_TRUE(loadPackageFile(unrecorded, write("u.npk", packageFile(body, kMagicUnrecorded))));
    EXPECT_EQ(unrecorded.kind, PackageKind::Unrecorded);
}

TEST_F(PackageFileLoading, BundleWithTwoMembers) {
    const std::string body = part(18, headerPayload("bundle", 0x07000000, 5)) +
                             part(3, dependencyList(0, {})) + part(21, "whole") +
                             memberPackage("first", 0x07000001) +
                             memberPackage("second", 0x07000002);
    PackageFile file;
    ASSERT_TRUE(loadPackageFile(file, write("bundle.npk", packageFile(body))));
    EXPECT_TRUE(file.isBundle);
    EXPECT_EQ(file.name, "bundle");
    EXPECT_TRUE(file.hasImagePart);
    ASSERT_EQ(file.members.size(), 2u);
    EXPECT_EQ(file.members[0]->name, "first");
    EXPECT_EQ(file.members[0]->version, 0x07000001u);
    EXPECT_EQ(file.members[0]->architecture, "mipsbe");
    ASSERT_EQ(file.members[0]->dependencies.size(), 1u);
    EXPECT_EQ(file.members[0]->dependencies[0].name, "system");
    EXPECT_EQ(file.members[1]->name, "second");
    EXPECT_FALSE(file.members[1]->isBundle);
}

TEST_F(PackageFileLoading, Rejections) {
    const std::string single = memberPackage("solo", 1);
    PackageFile longer;
    EXPECT_FALSE(loadPackageFile(longer, write("long.npk", packageFile(single) + "x")))
        << "size on disk differs from the header's length + 8";
    EXPECT_EQ(longer.expectedSize, single.size() + 8);

    PackageFile lone;
    EXPECT_FALSE(loadPackageFile(
        lone, write("lone.npk", packageFile(part(18, headerPayload("b", 1, 1)) + part(4, "c")))))
        << "a bundle without members";

    PackageFile brokenMember;
    EXPECT_FALSE(loadPackageFile(
        brokenMember,
        write("bm.npk", packageFile(part(18, headerPayload("b", 1, 1)) + part(1, "too short")))));

    PackageFile missing;
    EXPECT_FALSE(loadPackageFile(missing, dir / "absent.npk"));

    PackageFile badMagic;
    EXPECT_FALSE(loadPackageFile(badMagic, write("bad.npk", packageFile(single, 0x11111111))));
}

}  // namespace
