#pragma once
// What every scratch router root holds and what counts as the installer's
// scratch files in it: shared by the end-to-end tests, the benchmarks and the
// file-system fuzz targets, so that all of them judge a tree alike.
#include <string>
#include <vector>

namespace harness {

// The folders a router always has, made in every fresh root.
const std::vector<std::string>& routerBaseDirectories();
// The router's top folders, which the installer reads and changes.
const std::vector<std::string>& routerDirectories();

// The names the installer gives the files it stages: "tmp" and six characters,
// or a copy's target name with a dot and six characters.
bool isTemporaryName(const std::string& name);
// Those, the record of them, and the lock file that a killed run leaves.
bool isScratchName(const std::string& name);

// text with the random part of every temporary name in it ("tmp" and six
// characters) shown as "??????", so that runs compare alike.
std::string maskScratchNames(std::string text);

}  // namespace harness
