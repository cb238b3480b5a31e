#pragma once
// Temporary files staged as NewFile entries, and the free-space check that runs
// before a commit.
#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "transaction/FsTransaction.h"

constexpr const char* kRamDirectory = "/ram";
constexpr const char* kBootMount = "/flash/boot";
constexpr const char* kFlashMount = "/flash";
constexpr int64_t kMinimumFreeBlocks = 16;

// A fresh temporary file staged to become target: on the target's own file
// system when it has room for the size hint plus a tenth, else in "/ram".
std::ofstream createFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                         mode_t mode);
bool checkSpace(const FsTransaction& transaction);
bool startsWith(const std::string& path, const std::string& mountPath);
