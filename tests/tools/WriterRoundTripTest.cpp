// The package writer is trusted only as far as the installer's own readers
// accept what it writes: the part reader and the signature check against the
// built-in keys.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "package/PartReader.h"
#include "signature/SignatureVerifier.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"

namespace {

// The part types the installer's reader meets through its end (-1), and at
// each signature part whether the installer's check accepts it.
std::pair<std::vector<int32_t>, std::vector<bool>> walk(const std::string& bytes) {
    std::istringstream source(bytes);
    PartReader reader(source, true, nullptr);
    reader.acceptedTypes = {1, 2, 3, 4, 9, 16, 18, 21};
    std::pair<std::vector<int32_t>, std::vector<bool>> seen;
    while (seen.first.size() < 20 && (seen.first.empty() || seen.first.back() != -1)) {
        seen.first.push_back(reader.nextPart());
        if (seen.first.back() == kPartSignature)
            seen.second.push_back(SignatureVerifier::verify(reader.partBuffer()));
    }
    return seen;
}

TEST(WriterRoundTrip, TheInstallerAcceptsWhatIsWrittenButNoChangedBit) {
    pkgwriter::PackageRecipe alpha;
    alpha.name = "alpha";
    alpha.version = makeVersion(7, 1, 'f', 3);
    alpha.architecture = "powerpc";
    alpha.dependencies = {{"system", makeVersion(7, 1, 'f', 0), 0, 0}};
    alpha.files = {{pkgwriter::EntryType::File, "lib/data", 0644, 2, std::string(9000, 'd')}};
    pkgwriter::BundleRecipe bundle;
    bundle.name = "suite";
    bundle.version = alpha.version;
    bundle.imagePart = "";
    bundle.members = {alpha, alpha};
    bundle.members[1].name = "beta";
    const std::string key = pkgsign::developmentSecretKey();
    EXPECT_EQ(walk(pkgwriter::writeBundle(bundle, &key)),
              std::make_pair(std::vector<int32_t>{18, 21, 1, 16, 3, 4, 9, 1, 16, 3, 4, 9, -1},
                             std::vector<bool>{true, true}));

    const std::string good = pkgwriter::writePackage(alpha, &key);
    ASSERT_EQ(walk(good).second, std::vector<bool>{true});
    for (size_t at = 8; at < good.size(); ++at) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ (1 << at % 8));
        for (bool verified : walk(bad).second) EXPECT_FALSE(verified) << "changed byte " << at;
    }
}

}  // namespace
