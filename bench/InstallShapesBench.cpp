// The stream install ("installer -r ROOT -" into a fresh root, one whole process
// per run) of three package shapes, on tmpfs and on a journaled ext4 file system,
// against the floor program (InstallFloor) and against Debian's dpkg installing
// the same tree from a .deb.
//
// Shapes: 64 MiB in 2000 files, 64 MiB in one file, 2000 files of 1 KiB; the
// file contents are incompressible.
//
// The floor runs twice per pair: as it is, and with --sync, which flushes what
// it wrote to storage before it ends. The installer syncs before and after its
// renames, so the synced floor is the least work of an install that survives a
// power cut; the difference between the two floors is what durability costs.
//
// Every pair runs the installer, the floors and dpkg on the same file system, the
// order rotating from one pair to the next so that no program always runs
// right after another's writes. The printed figures are the medians over the
// pairs of the per-pair ratios, for wall time and for processor time (user +
// system of the process and of every process it waited for: dpkg unpacks in
// a second process).
//
// dpkg runs twice per pair: as "dpkg --force-all", which includes unsafe-io
// (no fsync of the unpacked files), and with "--no-force-unsafe-io" after it,
// which syncs every file as dpkg does by default on most systems. The installer
// itself always syncs, so the second is the like-for-like comparison of work
// done; the first is what was asked of dpkg.
//
// Both file systems are mounted in a private mount namespace: the tmpfs
// directly, the ext4 from an image made by mkfs.ext4 on a loop device that is
// released when the mount goes. Where the system refuses, the case is skipped
// with the reason.
//
// usage: InstallShapesBench [pairs]   (default 9; 3 makes a quick run)
#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
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
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"
#include "tools/harness/Sandbox.h"

namespace {

using testsupport::makeDirs;
using testsupport::removeTree;

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;
constexpr int kDefaultPairs = 9;
constexpr unsigned long long kTmpfsBytes = 1ull << 30;
// Room for the largest root (files, the stream's image copy, the database) with
// space to spare, so that allocation never runs near a full file system.
constexpr unsigned long long kExt4ImageBytes = 1ull << 30;
constexpr int kLoopAttachTries = 8;

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

const std::string kInstaller = INSTALLER_BINARY;
const std::string kFloor = directoryOf(INSTALLER_BINARY) + "/InstallFloor";

struct Shape {
    const char* label;
    const char* slug;
    size_t fileCount;
    size_t fileBytes;
};

const Shape kShapes[] = {
    {"64 MiB in 2000 files", "many", 2000, 64 * kMiB / 2000},
    {"64 MiB in 1 file", "one", 1, 64 * kMiB},
    {"2000 files of 1 KiB", "small", 2000, 1 * kKiB},
};

std::string memberName(size_t i) {
    return "data/d" + std::to_string(i % 20) + "/f" + std::to_string(i);
}

double childCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct RunResult {
    int status = -1;
    double wall = 0;
    double cpu = 0;  // user + system of the program and all it waited for
};

// Runs program with standard input from inputPath (or /dev/null) and its output
// discarded. The processor time is the growth of this process's children's
// usage across the wait, which takes in the grandchildren the program waited
// for.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& inputPath) {
    RunResult result;
    double cpuBefore = childCpuSeconds();
    double start = bench::now();
    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) bench::execWithInput(program, args, inputPath, {true, false, false});
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    result.wall = bench::now() - start;
    result.cpu = childCpuSeconds() - cpuBefore;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// The first of the candidates that is an executable file, or "".
std::string findProgram(const std::string& name) {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::string all = path;
        for (size_t at = 0; at <= all.size();) {
            size_t colon = all.find(':', at);
            if (colon == std::string::npos) colon = all.size();
            if (colon > at) dirs.push_back(all.substr(at, colon - at));
            at = colon + 1;
        }
    }
    for (const char* d : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) dirs.push_back(d);
    for (const std::string& d : dirs) {
        std::string candidate = d + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string();
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

// Written in a child process, so that this process never holds a package and
// the programs it starts do not inherit a large memory image.
bool writeInstallerPackage(const std::string& path, const Shape& shape) {
    pid_t pid = fork();
    if (pid == 0) {
        pkgwriter::PackageRecipe recipe;
        recipe.name = std::string("shape-") + shape.slug;
        recipe.version = 0x01006600;
        recipe.buildTime = 1000;
        // Deflate stores incompressible data at any level; level 0 only saves
        // the time of trying.
        recipe.compressionLevel = 0;
        for (size_t i = 0; i < shape.fileCount; ++i) {
            pkgwriter::ContainerFile f;
            f.name = memberName(i);
            f.data.resize(shape.fileBytes);
            bench::fillIncompressible(f.data, i + 1);
            recipe.files.push_back(std::move(f));
        }
        std::string key = pkgsign::developmentSecretKey();
        std::string bytes = pkgwriter::writePackage(recipe, &key);
        recipe.files.clear();
        _exit(writeWholeFile(path, bytes) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The same tree as a .deb. gzip at level 1 stores incompressible data in stored
// blocks, as the installer's package does, so both sides inflate a deflate
// stream of the same size.
bool writeDebianPackage(const std::string& dpkgDeb, const std::string& staging,
                        const std::string& path, const Shape& shape) {
    removeTree(staging);
    makeDirs(staging + "/DEBIAN");
    std::string control = std::string("Package: shape-") + shape.slug +
                          "\nVersion: 1.0\nArchitecture: all\n"
                          "Maintainer: bench <bench@localhost>\n"
                          "Description: benchmark payload\n";
    if (!writeWholeFile(staging + "/DEBIAN/control", control)) return false;
    std::string data(shape.fileBytes, '\0');
    for (size_t i = 0; i < shape.fileCount; ++i) {
        std::string name = staging + "/" + memberName(i);
        makeDirs(directoryOf(name));
        bench::fillIncompressible(data, i + 1);
        if (!writeWholeFile(name, data)) return false;
    }
    RunResult r = runProgram(
        dpkgDeb, {"-Zgzip", "-z1", "--root-owner-group", "--build", staging, path}, std::string());
    removeTree(staging);
    return r.status == 0 && fileExists(path);
}

bool makePrivateMountNamespace(std::string& why) {
    if (unshare(CLONE_NEWNS) != 0) {
        why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        return false;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("making / private: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool mountTmpfs(const std::string& dir, std::string& why) {
    makeDirs(dir);
    std::string options = "size=" + std::to_string(kTmpfsBytes);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        why = "mount tmpfs: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

// Attaches image to a free loop device that detaches itself once nothing uses
// it; the device's path, or "" with the reason. The device stays open on
// *loopFd: closing it before the mount takes hold would detach it at once.
std::string attachLoop(const std::string& image, int* loopFd, std::string& why) {
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        why = "open /dev/loop-control: " + std::string(std::strerror(errno));
        return std::string();
    }
    int backing = open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        why = "open " + image + ": " + std::strerror(errno);
        close(control);
        return std::string();
    }
    std::string device;
    // Another user of the machine may take the free device between the two
    // calls; then the next free one is asked for.
    for (int attempt = 0; attempt < kLoopAttachTries && device.empty(); ++attempt) {
        int number = ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            why = "LOOP_CTL_GET_FREE: " + std::string(std::strerror(errno));
            break;
        }
        std::string candidate = "/dev/loop" + std::to_string(number);
        int loop = open(candidate.c_str(), O_RDWR | O_CLOEXEC);
        if (loop < 0) {
            why = "open " + candidate + ": " + std::strerror(errno);
            break;
        }
        if (ioctl(loop, LOOP_SET_FD, backing) != 0) {
            why = "LOOP_SET_FD on " + candidate + ": " + std::strerror(errno);
            close(loop);
            if (errno == EBUSY) continue;
            break;
        }
        loop_info64 info{};
        info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (ioctl(loop, LOOP_SET_STATUS64, &info) != 0) {
            why = "LOOP_SET_STATUS64: " + std::string(std::strerror(errno));
            ioctl(loop, LOOP_CLR_FD, 0);
            close(loop);
            break;
        }
        *loopFd = loop;
        device = candidate;
    }
    close(backing);
    close(control);
    return device;
}

// A fresh ext4 with its journal, on a loop device, mounted at dir.
bool mountExt4(const std::string& mkfs, const std::string& image, const std::string& dir,
               std::string& why) {
    if (mkfs.empty()) {
        why = "mkfs.ext4 not found";
        return false;
    }
    int fd = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(kExt4ImageBytes)) != 0) {
        why = "creating " + image + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    close(fd);
    // Tables and journal written now, not by the kernel's lazy initialisation
    // in the background of the measured runs.
    RunResult made = runProgram(
        mkfs, {"-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", image}, std::string());
    if (made.status != 0) {
        why = "mkfs.ext4 exited with " + std::to_string(made.status);
        return false;
    }
    int loop = -1;
    std::string device = attachLoop(image, &loop, why);
    if (device.empty()) return false;
    makeDirs(dir);
    bool mounted = mount(device.c_str(), dir.c_str(), "ext4", 0, nullptr) == 0;
    if (!mounted) why = "mount ext4 from " + device + ": " + std::strerror(errno);
    // From here the mount holds the device; autoclear frees it at unmount.
    close(loop);
    return mounted;
}

// Writes back everything below dir, so that what one run left dirty is not
// written during the next one.
void settle(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

enum Contender {
    kInstallerRun,
    kFloorRun,
    kSyncedFloorRun,
    kDpkgRun,
    kDpkgSafeRun,
    kContenderCount
};
const char* const kContenderNames[kContenderCount] = {"installer", "floor", "synced floor", "dpkg",
                                                      "dpkg safe-io"};

struct Tools {
    std::string dpkg;
    std::string dpkgDeb;
    std::string mkfs;
};

// One install into a fresh root on the file system at area; the result's
// status is -2 when the program claimed success but the last file is missing.
RunResult installOnce(Contender who, const Tools& tools, const std::string& area,
                      const std::string& package, const std::string& deb, const Shape& shape) {
    const std::string root = area + "/root";
    removeTree(root);
    RunResult r;
    std::string lastFile;
    if (who == kInstallerRun || who == kFloorRun || who == kSyncedFloorRun) {
        for (const char* dir : {"", "/flash", "/flash/var", "/flash/var/pdb", "/ram", "/rw"})
            mkdir((root + dir).c_str(), 0755);
        settle(area);
        if (who == kInstallerRun)
            r = runProgram(kInstaller, {"-r", root, "-"}, package);
        else if (who == kFloorRun)
            r = runProgram(kFloor, {root}, package);
        else
            r = runProgram(kFloor, {"--sync", root}, package);
        lastFile = root + "/flash/" + memberName(shape.fileCount - 1);
    } else {
        // A throwaway root with its own database, and the log kept in it.
        makeDirs(root + "/var/lib/dpkg");
        makeDirs(root + "/var/log");
        writeWholeFile(root + "/var/lib/dpkg/status", std::string());
        settle(area);
        std::vector<std::string> args = {"--root=" + root, "--log=" + root + "/var/log/dpkg.log",
                                         "--force-all"};
        if (who == kDpkgSafeRun) args.push_back("--no-force-unsafe-io");
        args.push_back("-i");
        args.push_back(deb);
        r = runProgram(tools.dpkg, args, std::string());
        lastFile = root + "/" + memberName(shape.fileCount - 1);
    }
    if (r.status == 0 && !fileExists(lastFile)) r.status = -2;
    removeTree(root);
    settle(area);
    return r;
}

struct Row {
    std::string shape;
    std::string fileSystem;
    std::string skipped;  // why the row has no figures
    std::vector<double> wall[kContenderCount];
    std::vector<double> cpu[kContenderCount];
    // Per-pair ratios of the installer to each other contender.
    std::vector<double> wallRatio[kContenderCount];
    std::vector<double> cpuRatio[kContenderCount];
};

// The number of pairs with a failed run; those pairs count in no median.
int measure(Row& row, int pairs, const Tools& tools, bool withDpkg, const std::string& area,
            const std::string& package, const std::string& deb, const Shape& shape) {
    std::vector<Contender> order = {kInstallerRun, kFloorRun, kSyncedFloorRun};
    if (withDpkg) {
        order.push_back(kDpkgRun);
        order.push_back(kDpkgSafeRun);
    }
    int failedPairs = 0;
    for (int pair = 0; pair < pairs; ++pair) {
        RunResult results[kContenderCount];
        bool failed = false;
        for (size_t k = 0; k < order.size(); ++k) {
            Contender who = order[(k + static_cast<size_t>(pair)) % order.size()];
            results[who] = installOnce(who, tools, area, package, deb, shape);
            if (results[who].status != 0) {
                std::printf("  %s, %s, pair %d: %s failed with status %d\n", row.shape.c_str(),
                            row.fileSystem.c_str(), pair, kContenderNames[who],
                            results[who].status);
                failed = true;
            }
        }
        if (failed) {
            ++failedPairs;
            continue;
        }
        for (Contender who : order) {
            row.wall[who].push_back(results[who].wall);
            row.cpu[who].push_back(results[who].cpu);
            if (who == kInstallerRun) continue;
            row.wallRatio[who].push_back(results[kInstallerRun].wall / results[who].wall);
            row.cpuRatio[who].push_back(results[kInstallerRun].cpu / results[who].cpu);
        }
        std::printf("  %s, %s, pair %d:", row.shape.c_str(), row.fileSystem.c_str(), pair);
        for (Contender who : order)
            std::printf(" %s %.3f/%.3f", kContenderNames[who], results[who].wall, results[who].cpu);
        std::printf(" (s wall/cpu)\n");
        std::fflush(stdout);
    }
    return failedPairs;
}

std::string ratioCell(const Row& row, Contender who) {
    if (row.wallRatio[who].empty()) return "-";
    char cell[64];
    std::snprintf(cell, sizeof cell, "%.2f / %.2f", median(row.wallRatio[who]),
                  median(row.cpuRatio[who]));
    return cell;
}

struct Area {
    const char* name;
    std::string dir;
    std::string skipped;
};

bool programsPresent() {
    for (const std::string& program : {kInstaller, kFloor}) {
        if (access(program.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "missing %s: build the installer and InstallFloor targets\n",
                         program.c_str());
            return false;
        }
    }
    return true;
}

// Mounts tmpfs and ext4 in a private namespace; an area that cannot be had says
// why in skipped.
void prepareAreas(Area (&areas)[2], const std::string& scratch, const Tools& tools) {
    std::string why;
    if (!makePrivateMountNamespace(why)) {
        for (Area& a : areas) a.skipped = "mounting refused: " + why;
    } else {
        if (!mountTmpfs(areas[0].dir, why)) areas[0].skipped = why;
        if (!mountExt4(tools.mkfs, scratch + "/ext4.img", areas[1].dir, why))
            areas[1].skipped = why;
    }
    for (const Area& a : areas)
        std::printf("%s: %s\n", a.name,
                    a.skipped.empty() ? ("mounted at " + a.dir).c_str()
                                      : ("skipped (" + a.skipped + ")").c_str());
}

Row emptyRow(const Shape& shape, const Area& area) {
    Row row;
    row.shape = shape.label;
    row.fileSystem = area.name;
    row.skipped = area.skipped;
    return row;
}

// Measures one shape on every area; the number of failed pairs.
int runShape(const Shape& shape, const Area (&areas)[2], const Tools& tools,
             const std::string& sources, const std::string& noDpkg, int pairs,
             std::vector<Row>& rows) {
    const std::string package = sources + "/" + shape.slug + ".npk";
    const std::string deb = sources + "/" + shape.slug + ".deb";
    if (!areas[0].skipped.empty() && !areas[1].skipped.empty()) {
        for (const Area& area : areas) rows.push_back(emptyRow(shape, area));
        return 0;
    }
    if (!writeInstallerPackage(package, shape)) {
        std::fprintf(stderr, "could not write the package for %s\n", shape.label);
        return 1;
    }
    std::string debSkipped = noDpkg;
    if (debSkipped.empty() && !writeDebianPackage(tools.dpkgDeb, sources + "/staging", deb, shape))
        debSkipped = "dpkg-deb --build failed";
    if (!debSkipped.empty() && noDpkg.empty())
        std::printf("%s: dpkg skipped (%s)\n", shape.label, debSkipped.c_str());
    int failures = 0;
    for (const Area& area : areas) {
        Row row = emptyRow(shape, area);
        if (row.skipped.empty())
            failures +=
                measure(row, pairs, tools, debSkipped.empty(), area.dir, package, deb, shape);
        rows.push_back(std::move(row));
    }
    unlink(package.c_str());
    unlink(deb.c_str());
    return failures;
}

void printResults(const std::vector<Row>& rows) {
    std::printf("\nmedian seconds (wall / cpu):\n");
    for (const Row& row : rows) {
        if (!row.skipped.empty() || row.wall[kInstallerRun].empty()) continue;
        std::printf("  %-22s %-6s", row.shape.c_str(), row.fileSystem.c_str());
        for (int who = 0; who < kContenderCount; ++who) {
            if (row.wall[who].empty()) continue;
            std::printf("  %s %.3f / %.3f", kContenderNames[who], median(row.wall[who]),
                        median(row.cpu[who]));
        }
        std::printf("\n");
    }
    std::printf("\nmedian of per-pair ratios, wall / cpu (below 1: the installer is faster):\n");
    std::printf("  %-22s %-6s %-17s %-17s %-17s %-17s\n", "shape", "fs", "installer/floor",
                "inst/synced floor", "installer/dpkg", "inst/dpkg safe-io");
    for (const Row& row : rows) {
        if (!row.skipped.empty()) {
            std::printf("  %-22s %-6s skipped: %s\n", row.shape.c_str(), row.fileSystem.c_str(),
                        row.skipped.c_str());
            continue;
        }
        std::printf("  %-22s %-6s %-17s %-17s %-17s %-17s\n", row.shape.c_str(),
                    row.fileSystem.c_str(), ratioCell(row, kFloorRun).c_str(),
                    ratioCell(row, kSyncedFloorRun).c_str(), ratioCell(row, kDpkgRun).c_str(),
                    ratioCell(row, kDpkgSafeRun).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = argc > 1 ? std::atoi(argv[1]) : kDefaultPairs;
    if (pairs < 1) {
        std::fprintf(stderr, "usage: InstallShapesBench [pairs]\n");
        return 2;
    }
    if (!programsPresent()) return 1;
    Tools tools;
    tools.dpkg = findProgram("dpkg");
    tools.dpkgDeb = findProgram("dpkg-deb");
    tools.mkfs = findProgram("mkfs.ext4");
    std::string noDpkg;
    if (tools.dpkg.empty() || tools.dpkgDeb.empty())
        noDpkg = "dpkg or dpkg-deb not found (apt-get install dpkg)";

    char pattern[] = "/tmp/install-shapes-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::fprintf(stderr, "no scratch directory: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string scratch = pattern;
    const std::string sources = scratch + "/sources";
    makeDirs(sources);
    Area areas[] = {{"tmpfs", scratch + "/tmpfs", ""}, {"ext4", scratch + "/ext4", ""}};
    prepareAreas(areas, scratch, tools);
    if (!noDpkg.empty()) std::printf("dpkg: skipped (%s)\n", noDpkg.c_str());
    std::printf("pairs per case: %d\n", pairs);
    std::fflush(stdout);

    std::vector<Row> rows;
    int failures = 0;
    for (const Shape& shape : kShapes)
        failures += runShape(shape, areas, tools, sources, noDpkg, pairs, rows);
    printResults(rows);

    for (const Area& a : areas)
        if (a.skipped.empty() && umount2(a.dir.c_str(), MNT_DETACH) != 0)
            std::fprintf(stderr, "unmounting %s: %s\n", a.dir.c_str(), std::strerror(errno));
    removeTree(scratch);
    return failures == 0 ? 0 : 1;
}
