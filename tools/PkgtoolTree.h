#pragma once
// Turns a directory tree into file container entries for pkgtool build.
#include <string>
#include <vector>

#include "tools/PackageWriter.h"

namespace pkgtool {

// Longest entry name the container's 16-bit name length can hold.
constexpr size_t kMaxEntryNameLength = 0xFFFF;
// Largest regular file the container's 32-bit size field can hold.
constexpr unsigned long long kMaxEntryDataSize = 0xFFFFFFFFull;

// Reads every regular file (with its permission bits), directory and symbolic
// link below root, named by its path relative to root ("bin/tool"). Each
// directory comes before its contents and siblings are in byte order, so the
// same tree always gives the same entries. Returns an ExitStatus: kExitIo when
// something cannot be read, kExitTooLarge for a file larger than 4 GiB - 1, a
// name the installer cannot take (blanks or control characters) or a device,
// fifo or socket.
int readTree(const std::string& root, std::vector<pkgwriter::ContainerFile>& entries,
             std::string* why);

// Applies "PATH=CLASS" assignments: CLASS (0 to 4) goes to the entry PATH and to
// everything below it; the longest matching PATH wins. False (a usage error)
// for a malformed assignment or a PATH that names no entry.
bool applyMachineClasses(std::vector<pkgwriter::ContainerFile>& entries,
                         const std::vector<std::string>& assignments, std::string* why);

}  // namespace pkgtool
