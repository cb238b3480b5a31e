// Cost of a stream install against its floor, and the flatness of its memory.
//
// 1. A 64 MiB package of 2000 files of incompressible data is installed with
//    "installer -r ROOT -" into a fresh root on tmpfs, several times; in the
//    same run the floor program (InstallFloor: read, SHA-1, image copy, inflate,
//    write the files, nothing else) handles the same stream from the same
//    file. The ratio of the median processor times (user + system, as wait4
//    reports them) is meant to stay at most 1.2; the ratio of wall times is
//    printed beside it, but on a shared machine it mostly measures the wait
//    for a processor, and the sync calls of the installer wait for other
//    users' disk writes.
// 2. The peak resident memory of the installer for a 1 MiB package (of few and
//    of many files) and a 256 MiB package is meant to differ by less than
//    1 MiB.
//
// The root lives on a tmpfs mounted in a private mount namespace, so the disk
// does not take part; where mounting is refused, /dev/shm (or the temporary
// directory) stands in and the output says so.
//
// usage: StreamInstallBench [repetitions]
//        StreamInstallBench --write-package PATH [MiB]   (for profiling by hand)
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/harness/Sandbox.h"
#include "BenchSupport.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"

namespace {

using testsupport::makeDirs;
using testsupport::removeTree;

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kBenchPackageBytes = 64 * kMiB;
constexpr size_t kBenchFileCount = 2000;
constexpr size_t kSmallPackageBytes = 1 * kMiB;
constexpr size_t kSmallFileCount = 16;
constexpr size_t kLargePackageBytes = 256 * kMiB;
constexpr size_t kLargeFileCount = 2000;
constexpr unsigned long long kTmpfsBytes = 3ull << 30;
constexpr int kDefaultRepetitions = 7;
constexpr double kTargetRatio = 1.2;
constexpr long kTargetRssDifferenceKiB = 1024;

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

const std::string kInstaller = INSTALLER_BINARY;
const std::string kFloor = directoryOf(INSTALLER_BINARY) + "/InstallFloor";

// Written in a child process, so that this process never holds a package and
// the programs it starts do not inherit a large memory image.
bool writePackageFile(const std::string& path, const std::string& name, size_t totalBytes,
                      size_t fileCount) {
    pid_t pid = fork();
    if (pid == 0) {
        pkgwriter::PackageRecipe recipe;
        recipe.name = name;
        recipe.version = 0x01006600;
        recipe.buildTime = 1000;
        // Deflate stores incompressible data at any level; level 0 only saves
        // the time of trying.
        recipe.compressionLevel = 0;
        size_t each = totalBytes / fileCount;
        for (size_t i = 0; i < fileCount; ++i) {
            pkgwriter::ContainerFile f;
            f.name = "data/d" + std::to_string(i % 20) + "/f" + std::to_string(i);
            f.data.resize(each);
            bench::fillIncompressible(f.data, i + 1);
            recipe.files.push_back(std::move(f));
        }
        std::string key = pkgsign::developmentSecretKey();
        std::string bytes = pkgwriter::writePackage(recipe, &key);
        recipe.files.clear();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        _exit(out ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void makeRoot(const std::string& root) {
    for (const char* dir : {"", "/flash", "/flash/var", "/flash/var/pdb", "/ram", "/rw"})
        mkdir((root + dir).c_str(), 0755);
}

struct RunResult {
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;  // user + system
    long maxRssKiB = 0;     // ru_maxrss of the child, as wait4 reports it
    long peakKiB = -1;      // VmHWM of the program itself, read at its exit; -1 if unknown
};

long readPeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Runs program with standard input from inputPath and its output discarded.
// With traceExit the child is stopped at its exit to read the peak of its own
// memory: ru_maxrss also counts what the child inherited from this process up
// to its exec.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& inputPath, bool traceExit) {
    RunResult result;
    double start = bench::now();
    pid_t pid = fork();
    if (pid == 0) bench::execWithInput(program, args, inputPath, {false, true, traceExit});
    int status = 0;
    rusage usage{};
    bool traced = false;
    for (;;) {
        if (wait4(pid, &status, 0, &usage) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!WIFSTOPPED(status)) break;
        int signal = WSTOPSIG(status);
        if (signal == SIGTRAP && !traced) {
            // Stopped after exec: ask to be told of the exit.
            traced = true;
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
            ptrace(PTRACE_CONT, pid, nullptr, nullptr);
        } else if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            result.peakKiB = readPeakKiB(pid);
            ptrace(PTRACE_CONT, pid, nullptr, nullptr);
        } else {
            ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
        }
    }
    result.seconds = bench::now() - start;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.maxRssKiB = usage.ru_maxrss;
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return result;
}

// A scratch directory on tmpfs; note says what stands in when that fails.
std::string scratchArea(std::string& note) {
    char pattern[] = "/tmp/stream-install-bench-XXXXXX";
    if (!mkdtemp(pattern)) return std::string();
    std::string dir = pattern;
    std::string options = "size=" + std::to_string(kTmpfsBytes);
    if (unshare(CLONE_NEWNS) == 0 &&
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0) {
        note = "tmpfs mounted in a private mount namespace";
        return dir;
    }
    std::string why = std::strerror(errno);
    rmdir(dir.c_str());
    char shmPattern[] = "/dev/shm/stream-install-bench-XXXXXX";
    if (mkdtemp(shmPattern)) {
        note = "mounting tmpfs refused (" + why + "); using /dev/shm instead";
        return shmPattern;
    }
    char tmpPattern[] = "/tmp/stream-install-bench-XXXXXX";
    if (!mkdtemp(tmpPattern)) return std::string();
    note = "mounting tmpfs refused (" + why + ") and no /dev/shm; using " + tmpPattern +
           ": the disk takes part in the times";
    return tmpPattern;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// One install into a fresh root, checked for the last file of the package.
RunResult installOnce(const std::string& program, const std::string& root,
                      const std::string& package, const std::string& lastFile, bool traceExit) {
    removeTree(root);
    makeRoot(root);
    std::vector<std::string> args = program == kInstaller
                                        ? std::vector<std::string>{"-r", root, "-"}
                                        : std::vector<std::string>{root};
    RunResult r = runProgram(program, args, package, traceExit);
    if (r.status == 0 && !fileExists(root + "/flash/" + lastFile)) r.status = -2;
    removeTree(root);
    return r;
}

std::string lastFileName(size_t fileCount) {
    size_t i = fileCount - 1;
    return "data/d" + std::to_string(i % 20) + "/f" + std::to_string(i);
}

}  // namespace

// Installs the package with the installer and the floor program in turn;
// prints the runs and the medians, and returns the number of failed runs.
int compareWithFloor(const std::string& root, const std::string& package, double mib,
                     int repetitions) {
    int failures = 0;
    std::vector<double> installerWall, floorWall, installerCpu, floorCpu;
    for (int i = 0; i < repetitions; ++i) {
        RunResult installer =
            installOnce(kInstaller, root, package, lastFileName(kBenchFileCount), false);
        RunResult floor = installOnce(kFloor, root, package, lastFileName(kBenchFileCount), false);
        if (installer.status != 0 || floor.status != 0) {
            std::printf("run %d failed: installer %d, floor %d\n", i, installer.status,
                        floor.status);
            ++failures;
            continue;
        }
        installerWall.push_back(installer.seconds);
        floorWall.push_back(floor.seconds);
        installerCpu.push_back(installer.cpuSeconds);
        floorCpu.push_back(floor.cpuSeconds);
        std::printf("run %d: installer %.3f s wall %.3f s cpu, floor %.3f s wall %.3f s cpu\n", i,
                    installer.seconds, installer.cpuSeconds, floor.seconds, floor.cpuSeconds);
    }
    if (!installerWall.empty()) {
        double cpuRatio = median(installerCpu) / median(floorCpu);
        double wallRatio = median(installerWall) / median(floorWall);
        std::printf("median cpu: installer %.3f s (%.0f MiB/s), floor %.3f s (%.0f MiB/s)\n",
                    median(installerCpu), mib / median(installerCpu), median(floorCpu),
                    mib / median(floorCpu));
        std::printf("median wall: installer %.3f s, floor %.3f s, ratio %.3f\n",
                    median(installerWall), median(floorWall), wallRatio);
        std::printf("ratio installer/floor (cpu): %.3f (target <= %.1f: %s)\n", cpuRatio,
                    kTargetRatio, cpuRatio <= kTargetRatio ? "met" : "MISSED");
    }
    return failures;
}

// Peak memory of installs of small and large packages; false when a run failed.
bool compareMemory(const std::string& root, const std::string& smallPackage,
                   const std::string& smallManyPackage, const std::string& largePackage) {
    struct MemoryRun {
        const char* what;
        const std::string& package;
        size_t files;
        RunResult result;
    };
    MemoryRun memoryRuns[] = {{"1 MiB, 16 files", smallPackage, kSmallFileCount, {}},
                              {"1 MiB, 2000 files", smallManyPackage, kLargeFileCount, {}},
                              {"256 MiB, 2000 files", largePackage, kLargeFileCount, {}}};
    bool memoryOk = true;
    bool own = true;
    for (MemoryRun& run : memoryRuns) {
        run.result = installOnce(kInstaller, root, run.package, lastFileName(run.files), true);
        memoryOk = memoryOk && run.result.status == 0;
        own = own && run.result.peakKiB >= 0;
        std::printf("peak memory, %s: ru_maxrss %ld KiB, VmHWM at exit %ld KiB\n", run.what,
                    run.result.maxRssKiB, run.result.peakKiB);
    }
    if (!memoryOk) {
        std::printf("peak memory runs failed\n");
        return false;
    }
    auto peak = [own](const RunResult& r) { return own ? r.peakKiB : r.maxRssKiB; };
    long large = peak(memoryRuns[2].result);
    long difference =
        std::max(large - peak(memoryRuns[0].result), large - peak(memoryRuns[1].result));
    std::printf("peak difference 256 MiB vs 1 MiB (%s): %ld KiB (target < %ld KiB: %s)\n",
                own ? "VmHWM" : "ru_maxrss", difference, kTargetRssDifferenceKiB,
                difference < kTargetRssDifferenceKiB ? "met" : "MISSED");
    return true;
}

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--write-package") == 0) {
        size_t mib = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 64;
        return writePackageFile(argv[2], "bench", mib * kMiB, kBenchFileCount) ? 0 : 1;
    }
    int repetitions = argc > 1 ? std::atoi(argv[1]) : kDefaultRepetitions;
    if (repetitions < 1) repetitions = kDefaultRepetitions;
    for (const std::string& program : {kInstaller, kFloor}) {
        if (access(program.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "missing %s: build the installer and InstallFloor targets\n",
                         program.c_str());
            return 1;
        }
    }
    std::string note;
    std::string scratch = scratchArea(note);
    if (scratch.empty()) {
        std::fprintf(stderr, "no scratch directory\n");
        return 1;
    }
    std::printf("scratch: %s (%s)\n", scratch.c_str(), note.c_str());

    const std::string benchPackage = scratch + "/bench.npk";
    const std::string smallPackage = scratch + "/small.npk";
    const std::string smallManyPackage = scratch + "/small-many.npk";
    const std::string largePackage = scratch + "/large.npk";
    const std::string root = scratch + "/root";
    if (!writePackageFile(benchPackage, "bench", kBenchPackageBytes, kBenchFileCount) ||
        !writePackageFile(smallPackage, "small", kSmallPackageBytes, kSmallFileCount) ||
        !writePackageFile(smallManyPackage, "many", kSmallPackageBytes, kLargeFileCount) ||
        !writePackageFile(largePackage, "large", kLargePackageBytes, kLargeFileCount)) {
        std::fprintf(stderr, "could not write the packages\n");
        removeTree(scratch);
        return 1;
    }
    struct stat st;
    stat(benchPackage.c_str(), &st);
    std::printf("package: %zu files, %.1f MiB\n", kBenchFileCount,
                static_cast<double>(st.st_size) / kMiB);
    std::fflush(stdout);

    int failures =
        compareWithFloor(root, benchPackage, static_cast<double>(st.st_size) / kMiB, repetitions);
    if (!compareMemory(root, smallPackage, smallManyPackage, largePackage)) ++failures;
    removeTree(scratch);
    // A mount point cannot be removed while mounted.
    if (umount2(scratch.c_str(), MNT_DETACH) == 0) rmdir(scratch.c_str());
    return failures == 0 ? 0 : 1;
}
