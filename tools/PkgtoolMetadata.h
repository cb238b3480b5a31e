#pragma once
// The header and metadata options that pkgtool build and bundle share: name,
// version, build time, texts, relation lists and header flags.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/VersionNumber.h"
#include "tools/PkgtoolArgs.h"

namespace pkgtool {

struct HeaderOptions {
    std::string name;
    VersionNumber version = 0;
    uint32_t buildTime = 0;
    std::optional<std::string> architecture;
    std::optional<std::string> description;
    std::optional<std::string> note;
    std::vector<PackageRange> dependencies;
    std::vector<PackageRange> provides;
    std::vector<PackageRange> conflicts;
    // Set when any flag option was given; the header then carries a flags word.
    std::optional<uint32_t> flags;
};

// Copies the header fields into a package's or a bundle's recipe.
template <typename Recipe>
void applyHeaderOptions(const HeaderOptions& header, Recipe& recipe) {
    recipe.name = header.name;
    recipe.version = header.version;
    recipe.buildTime = header.buildTime;
    recipe.flags = header.flags;
    recipe.architecture = header.architecture;
    recipe.description = header.description;
    recipe.note = header.note;
    recipe.dependencies = header.dependencies;
    recipe.provides = header.provides;
    recipe.conflicts = header.conflicts;
}

// The option recipes of HeaderOptions, to append to a subcommand's own.
const std::vector<OptionRecipe>& headerOptionRecipes();

// Help lines for the shared options and the range grammar.
extern const char kHeaderOptionsHelp[];
extern const char kRangeGrammarHelp[];

// Fills options from the parsed arguments. The build time comes from
// --build-time, else from the environment variable SOURCE_DATE_EPOCH, else from
// the clock. False with the reason (a usage error) for a missing name or
// version, an invalid name, version, range, flag word or time.
bool readHeaderOptions(const ParsedArgs& args, HeaderOptions& options, std::string* why);

}  // namespace pkgtool
