#pragma once
// The private root the file-system targets change into once at start, so that
// the installer's absolute paths ("/flash/...", "/ram/...") land in a scratch
// tree of their own.
//
// libFuzzer reads its corpus and writes new inputs and crash files after the
// target's initialisation, that is, inside the root. The paths named on its
// command line (corpus folders, input files, -artifact_prefix,
// -exact_artifact_path, -dict) are therefore made absolute and bind-mounted at
// the same places inside the root. Nothing an install stages can reach them
// without a valid signature, and the tree helpers below never touch a mounted
// file system. Modes that start subprocesses (-fork, -jobs, -merge,
// -minimize_crash) are not available in these targets.
#include <string>

namespace fuzzsupport {

// Room for what a run may extract; a full root is itself a case worth reaching.
constexpr const char* kRootTmpfsOptions = "size=64m,mode=0755";
// Where the private roots are made; scripts/fuzz.sh points it into its build
// directory so that it can clear what crashed runs leave behind.
constexpr const char* kRootParentVariable = "INSTALLER_FUZZ_ROOTS";

// A fresh directory below the roots' parent, named after its user.
std::string makePrivateDirectory(const std::string& label);
// A fresh directory for files that a target rewrites on every run: in memory
// ("/dev/shm") when the system has it, since rewriting a file on a disk file
// system starts a write-back each time.
std::string makeScratchDirectory(const std::string& label);

// Creates a fresh directory, mounts a small tmpfs on it in a private mount
// namespace, mounts libFuzzer's paths (rewriting argv to absolute paths) and a
// read-only /proc for the leak checker, changes root into it and makes
// "/flash/var/pdb", "/ram" and "/rw". Exits the process when any of that fails:
// a target that would write into the real root must not run. For
// LLVMFuzzerInitialize.
void enterPrivateRoot(int* argc, char*** argv);

// Removes everything below "/" but the mounted paths, then remakes the base
// directories.
void resetRoot();
// Sorted "type path size" lines of every entry below "/" but the mounted paths.
std::string treeListing();
// Files below "/" named like the installer's staged files, one per line.
std::string temporaryFiles();

}  // namespace fuzzsupport
