#pragma once
// The command line of the installer: the argument scan, the run modes and the
// exit status.
#include <string>

#include "install/StreamInstall.h"
#include "planning/Eligibility.h"

constexpr const char* kUsageLine = "usage: installer [-q] [-r <root>] [-]";
constexpr const char* kPackagesChangedMarker = "/flash/PCKGS_CHANGED";
constexpr const char* kDefaultArchitecture = "i386";
constexpr int kExitNoSpace = 28;
constexpr int kExitImageUnwritable = -1;

struct RunOptions {
    bool cleanup = false;
    bool streamInstall = false;
    bool quiet = false;
    bool show = false;
    InstallFlags installFlags;
    bool commitNow = true;
    std::string root;
    std::string architecture = kDefaultArchitecture;
};

// Runs the whole program; returns the exit status.
int runInstaller(int argc, char** argv);
