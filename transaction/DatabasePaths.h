#pragma once
// Where the package database lives on flash: the folder of the package entries,
// each package's stored image, and the stream install's copy of a package.
#include <string>

constexpr const char* kDatabaseRoot = "/flash/var/pdb/";
constexpr const char* kImageFileName = "image";

// The stored image of the named package.
inline std::string packageImagePath(const std::string& packageName) {
    return kDatabaseRoot + packageName + "/" + kImageFileName;
}

// The stream install copies the package bytes into this file while it reads
// them (opened under exactly this name, double slash included) and stages the
// copy by its plain name afterwards.
inline std::string streamImageWritePath() {
    return std::string(kDatabaseRoot) + "/" + kImageFileName;
}
inline std::string streamImagePath() {
    return std::string(kDatabaseRoot) + kImageFileName;
}
