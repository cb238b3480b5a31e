// Writes the seed corpora of the fuzz targets, one folder per target below the
// directory given on the command line. Packages and bundles come from the tools
// library's writer, signed with the development key that test builds trust, so
// that the stream install target starts from installs that succeed.
//
// Usage: fuzz_seeds OUTDIR
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "model/PackageRecord.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"
#include "tools/VersionText.h"
#include "transaction/Manifest.h"

namespace {

using fuzzsupport::DatabaseRecord;
using pkgwriter::BundleRecipe;
using pkgwriter::ContainerFile;
using pkgwriter::EntryType;
using pkgwriter::PackageRecipe;

constexpr VersionNumber v(uint8_t major, uint8_t minor, uint8_t stage = kStageFinal,
                          uint8_t build = 0) {
    return makeVersion(major, minor, stage, build);
}

ContainerFile file(const std::string& name, const std::string& data, uint16_t mode = 0644) {
    ContainerFile f;
    f.name = name;
    f.data = data;
    f.permissions = mode;
    return f;
}

PackageRecipe package(const std::string& name, VersionNumber version) {
    PackageRecipe recipe;
    recipe.name = name;
    recipe.version = version;
    recipe.buildTime = 1650000000;
    recipe.architecture = "i386";
    recipe.files = {file("opt/" + name + "/README", "package " + name + "\n")};
    return recipe;
}

class SeedSet {
public:
    explicit SeedSet(std::string root) : root_(std::move(root)) {}

    void add(const std::string& target, const std::string& name, const std::string& bytes) {
        seeds_[target].emplace_back(name, bytes);
    }

    bool write() const {
        mkdir(root_.c_str(), 0755);
        for (const auto& [target, files] : seeds_) {
            std::string directory = root_ + "/" + target;
            mkdir(directory.c_str(), 0755);
            for (const auto& [name, bytes] : files) {
                std::ofstream out(directory + "/" + name, std::ios::binary | std::ios::trunc);
                out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                if (!out) {
                    std::perror((directory + "/" + name).c_str());
                    return false;
                }
            }
        }
        return true;
    }

private:
    std::string root_;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> seeds_;
};

using Seeds = std::vector<std::pair<std::string, std::string>>;

// Packages of every shape the format allows: image parts, the boot image, no
// record, empty or missing or uncompressed containers, another architecture, no
// signature.
void addShapeSeeds(Seeds& seeds, const std::string& key) {
    auto add = [&](const std::string& name, const PackageRecipe& recipe) {
        seeds.emplace_back(name, pkgwriter::writePackage(recipe, &key));
    };
    PackageRecipe image = package("imaged", v(1, 1));
    image.imagePart = std::string(600, 'I');
    add("image-part", image);

    PackageRecipe boot = package("kernel", v(6, 2));
    boot.flags = kFlagBootImage;
    boot.files.push_back(file("boot/kernel", std::string(200, 'k')));
    add("boot-image", boot);

    PackageRecipe unrecorded = package("base", v(1, 5));
    unrecorded.unrecorded = true;
    add("unrecorded", unrecorded);

    PackageRecipe empty = package("empty", v(1, 0));
    empty.files.clear();
    add("empty-container", empty);
    PackageRecipe noContainer = package("nofiles", v(1, 0));
    noContainer.hasContainer = false;
    add("no-container", noContainer);

    PackageRecipe stored = package("stored", v(1, 0));
    stored.compressionLevel = 0;
    stored.files.push_back(file("opt/stored/b", "uncompressed entries\n"));
    add("stored-container", stored);

    PackageRecipe foreign = package("foreign", v(1, 0));
    foreign.architecture = "mipsbe";
    add("other-architecture", foreign);

    PackageRecipe unsignedRecipe = package("unsigned", v(1, 0));
    unsignedRecipe.withSignature = false;
    add("no-signature", unsignedRecipe);
}

// Bundles: with a default-off member, with one that another member needs, and
// kept whole with an image part.
void addBundleSeeds(Seeds& seeds, const std::string& key) {
    BundleRecipe bundle;
    bundle.name = "suite";
    bundle.version = v(1, 0);
    bundle.buildTime = 1650000000;
    bundle.architecture = "i386";
    bundle.provides = {{"suite-api", v(1, 0), v(1, 0), 0}};
    bundle.defaultOff = {"suite-extra"};
    PackageRecipe core = package("suite-core", v(1, 0));
    PackageRecipe extra = package("suite-extra", v(1, 0));
    extra.dependencies = {{"suite-core", v(1, 0), 0, 0}};
    bundle.members = {core, extra, package("old", v(1, 5))};
    seeds.emplace_back("bundle", pkgwriter::writeBundle(bundle, &key));

    // A default-off member that another member needs: installed disabled, then
    // enabled again by the planner within the same transaction.
    BundleRecipe pair = bundle;
    pair.name = "pair";
    pair.provides.clear();
    pair.defaultOff = {"pair-lib"};
    PackageRecipe app = package("pair-app", v(1, 0));
    app.dependencies = {{"pair-lib", 0, 0, 0}};
    pair.members = {package("pair-lib", v(1, 0)), app};
    seeds.emplace_back("bundle-needed-default-off", pkgwriter::writeBundle(pair, &key));

    BundleRecipe kept = bundle;
    kept.name = "kept";
    kept.imagePart = std::string(300, 'B');
    kept.defaultOff.clear();
    kept.members = {package("kept-a", v(2, 0))};
    seeds.emplace_back("bundle-image", pkgwriter::writeBundle(kept, &key));
}

// Packages that meet the stream install target's installed set (base 1.0, old
// 1.0 needing base, guard 2.1.3 excluding victim) in every way an install can go.
std::vector<std::pair<std::string, std::string>> packageSeeds() {
    const std::string key = pkgsign::developmentSecretKey();
    std::vector<std::pair<std::string, std::string>> seeds;
    auto add = [&](const std::string& name, const PackageRecipe& recipe) {
        seeds.emplace_back(name, pkgwriter::writePackage(recipe, &key));
    };

    PackageRecipe hello = package("hello", v(1, 0));
    hello.files.push_back(file("bin/hello", "#!/bin/sh\necho hi\n", 0755));
    add("plain", hello);

    PackageRecipe full = package("full", v(3, 20, kStageReleaseCandidate, 2));
    full.flags = 0;
    full.auxText = "aux";
    full.description = "every metadata part";
    full.note = "a note";
    full.dependencies = {{"base", v(1, 0), 0, 0}};
    full.provides = {{"service", v(1, 0), v(1, 0), 5}};
    full.conflicts = {{"legacy", 0, v(0, 9), 0}};
    full.files = {{EntryType::Directory, "/opt/full", 0755, 0, ""},
                  {EntryType::File, "/opt/full/data", 0600, 0, std::string(3000, 'x')},
                  {EntryType::Symlink, "opt/full/link", 0777, 0, "data"},
                  {EntryType::File, "opt/full/other-class", 0644, 3, "class 3\n"},
                  {EntryType::File, "opt/full/empty", 0644, 0, ""}};
    add("full-metadata", full);

    PackageRecipe upgrade = package("old", v(2, 0));
    upgrade.files = {file("opt/old/data2", "second\n")};
    add("upgrade", upgrade);
    add("downgrade", package("old", v(0, 9)));
    add("reinstall-same", package("base", v(1, 0)));
    add("disabled-by-conflict", package("victim", v(1, 0)));

    PackageRecipe needy = package("needy", v(1, 0));
    needy.dependencies = {{"absent", 0, 0, 0}};
    add("missing-dependency", needy);

    PackageRecipe breaks = package("breaker", v(1, 0));
    breaks.conflicts = {{"base", 0, 0, 0}};
    add("conflicts-installed", breaks);

    addShapeSeeds(seeds, key);
    addBundleSeeds(seeds, key);
    return seeds;
}

std::vector<std::pair<std::string, std::string>> manifestSeeds() {
    FsTransaction transaction;
    transaction.stage("/flash/bin/a", FsEntryKind::NewFile, "/flash/bin/tmpAbc123");
    transaction.stage("/flash/lib/b", FsEntryKind::Move, "/ram/tmpXyz789");
    transaction.stage("/flash/var/pdb/x/image", FsEntryKind::Link, "/flash/bootimage");
    transaction.stage("/flash/old", FsEntryKind::Remove, "");
    std::ostringstream written;
    writeManifest(transaction, written);
    return {{"written", written.str()},
            {"odd-lines", "U /a\nX ignored line\nM /t /s extra\nL /l\n"},
            {"no-final-newline", "U /flash/x\nL /flash/y target"},
            {"empty", ""}};
}

std::vector<std::pair<std::string, std::string>> databaseSeeds() {
    const std::string key = pkgsign::developmentSecretKey();
    auto record = [](fuzzsupport::DatabaseSlot slot, size_t package, std::string content) {
        return DatabaseRecord{slot, package, std::move(content)};
    };
    const std::string one = std::to_string(v(1, 0));
    const std::string two = std::to_string(v(2, 0));
    std::vector<std::pair<std::string, std::string>> seeds;

    seeds.emplace_back("metadata",
                       fuzzsupport::encodeDatabaseInput({
                           record(fuzzsupport::kSlotVersion, 0, one + " 1000\n"),
                           record(fuzzsupport::kSlotFiles, 0, "flash/bin/a\n/flash/bin/b\n\n"),
                           record(fuzzsupport::kSlotProvides, 0, "api " + one + " 0 3\n"),
                           record(fuzzsupport::kSlotVersion, 1, two + " 2000\n"),
                           record(fuzzsupport::kSlotDeps, 1, "alpha " + one + " 0\napi 0 0\n"),
                           record(fuzzsupport::kSlotConflicts, 1, "gamma 0 0\n"),
                           record(fuzzsupport::kSlotFiles, 1, "flash/lib/b\n"),
                           record(fuzzsupport::kSlotDisabled, 1, "auto\n"),
                           record(fuzzsupport::kSlotVersion, 2, one + " 5\n"),
                           record(fuzzsupport::kSlotEnabled, 2, "user\n"),
                           record(fuzzsupport::kSlotSchedule, 2, "disable"),
                           record(fuzzsupport::kSlotVersion, 3, one + " 1\n"),
                       }));

    PackageRecipe imaged = package("alpha", v(3, 1));
    imaged.dependencies = {{"beta", 0, 0, 0}};
    imaged.provides = {{"alpha-api", v(3, 1), v(3, 1), 1}};
    BundleRecipe bundle;
    bundle.name = "beta";
    bundle.version = v(2, 0);
    bundle.members = {package("member-one", v(2, 0)), package("member-two", v(2, 0))};
    seeds.emplace_back(
        "images",
        fuzzsupport::encodeDatabaseInput({
            record(fuzzsupport::kSlotImage, 0, pkgwriter::writePackage(imaged, &key)),
            record(fuzzsupport::kSlotImageDirectory, 1, pkgwriter::writeBundle(bundle, &key)),
            record(fuzzsupport::kSlotEmptyDirectory, 1, ""),
            record(fuzzsupport::kSlotBootImage, 2,
                   pkgwriter::writePackage(package("gamma", v(6, 2)), &key)),
            record(fuzzsupport::kSlotSchedule, 0, "uninstall"),
        }));

    seeds.emplace_back("broken",
                       fuzzsupport::encodeDatabaseInput({
                           record(fuzzsupport::kSlotVersion, 0, "-1 x"),
                           record(fuzzsupport::kSlotProvides, 0, "api 1 2\n"),
                           record(fuzzsupport::kSlotBundle, 0, "gamma\n"),
                           record(fuzzsupport::kSlotDeps, 1, "a 1 2 3\nb 4 5\n"),
                           record(fuzzsupport::kSlotSchedule, 1, "enable"),
                           record(fuzzsupport::kSlotVersion, 2, "4294967295 4294967295\n"),
                           record(fuzzsupport::kSlotSchedule, 2, "uninstall"),
                       }));
    return seeds;
}

std::vector<std::pair<std::string, std::string>> versionSeeds() {
    std::vector<std::string> texts = {"6.2",         "6.2.1", "6.2alpha", "6.2beta5", "3.20rc2",
                                      "255.255.255", "0.0",   "06.2",     "6.2.0",    "6.2gamma"};
    const PackageRange ranges[] = {
        {"base", 0, 0, 0},
        {"base", v(6, 2), 0, 0},
        {"base", 0, v(6, 2, kStageBeta, 5), 0},
        {"base", v(6, 2), v(6, 2), 0},
        {"base", v(3, 20, kStageReleaseCandidate, 2), v(6, 2, kStageFinal, 1), -7},
    };
    for (const PackageRange& range : ranges) {
        texts.push_back(pkgtool::formatRangeText(range, false));
        texts.push_back(pkgtool::formatRangeText(range, true));
    }
    texts.push_back("api=1.0..0.9");
    texts.push_back("api:2147483648");
    std::vector<std::pair<std::string, std::string>> seeds;
    for (size_t i = 0; i < texts.size(); ++i)
        seeds.emplace_back("text-" + std::to_string(i), texts[i]);
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    SeedSet set(argv[1]);
    uint8_t control = 0;
    for (const auto& [name, bytes] : packageSeeds()) {
        set.add("fuzz_stream_install", name, bytes);
        set.add("fuzz_package_header", name, bytes);
        // Each package once under a different reading setup of the part reader.
        set.add("fuzz_part_reader", name, std::string(1, static_cast<char>(control)) + bytes);
        control = static_cast<uint8_t>(control * 5 + 0x27);
    }
    for (const auto& [name, bytes] : manifestSeeds()) set.add("fuzz_manifest", name, bytes);
    for (const auto& [name, bytes] : databaseSeeds()) set.add("fuzz_database", name, bytes);
    for (const auto& [name, bytes] : versionSeeds()) set.add("fuzz_version_text", name, bytes);
    return set.write() ? 0 : 1;
}
