// An upgrade run over 20 uploaded packages of 4 MiB each must stay within 1.2
// times the floor program (InstallFloor) run over the same files, one process
// per file. Both are timed in every iteration, in alternating order, on the
// same file system: a tmpfs in a private mount namespace when the system allows
// it, else the disk under /tmp. The verdict compares the fastest iteration of
// each, which is the least disturbed by other work on the machine.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"

#include "tools/harness/Sandbox.h"

namespace {

using testsupport::makeDirs;
using testsupport::removeTree;

constexpr int kPackageCount = 20;
constexpr size_t kPackageSize = 4u << 20;
constexpr size_t kFileSize = 256u << 10;
constexpr size_t kTextFiles = 6;  // the rest of each package is incompressible
constexpr size_t kSlack = 2048;
constexpr double kTarget = 1.2;
constexpr const char* kScratchSize = "size=1g";

struct Timing {
    double wall = 0;
    double cpu = 0;
};

std::string programDirectory() {
    std::string installer = INSTALLER_BINARY;
    return installer.substr(0, installer.rfind('/'));
}



bool writeFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// Runs program with stdin from inputPath (or /dev/null) and stdout and stderr
// discarded; the exit status, or -1.
int runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& inputPath) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) bench::execWithInput(program, args, inputPath);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Log-like text that deflate shrinks to about a quarter.
std::string text(size_t size, uint32_t seed) {
    static const char* const words[] = {"route ", "table ", "interface ", "address ", "10.0.",
                                        "up ",    "down ",  "mtu 1500 ",  "\n",       "bridge "};
    std::string out;
    out.reserve(size + 16);
    uint32_t x = seed * 2246822519u + 7;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += words[(x >> 16) % 10];
        out += std::to_string((x >> 8) & 0xFF);
        out += ' ';
    }
    out.resize(size);
    return out;
}

// A signed package of about kPackageSize bytes: a few compressible files and
// incompressible ones filling the rest.
std::string buildPackage(int index, const std::string& key) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = "bulk" + std::to_string(index);
    recipe.version = makeVersion(1, 0, 'f', 0);
    recipe.buildTime = 1000;
    for (size_t i = 0; i < kTextFiles; ++i) {
        pkgwriter::ContainerFile f;
        f.name = "opt/" + recipe.name + "/text" + std::to_string(i);
        f.data = text(kFileSize, static_cast<uint32_t>(index * 100 + i));
        recipe.files.push_back(f);
    }
    // Stored deflate blocks of incompressible data cost a few bytes each.
    size_t left = kPackageSize - pkgwriter::writePackage(recipe, &key).size() - kSlack;
    for (size_t i = 0; left > 0; ++i) {
        pkgwriter::ContainerFile f;
        f.name = "opt/" + recipe.name + "/blob" + std::to_string(i);
        size_t size = std::min(kFileSize, left);
        f.data.resize(size);
        bench::fillIncompressible(f.data, index * 100 + 50 + i);
        recipe.files.push_back(f);
        left -= size;
    }
    return pkgwriter::writePackage(recipe, &key);
}

struct Workload {
    std::string scratch;
    std::string sources;  // the package files, kept aside
    std::string upgradeRoot;
    std::string floorRoot;
    std::vector<std::string> files;  // names below sources
    size_t totalBytes = 0;
    bool onTmpfs = false;
    std::string note;
};

Workload* workload = nullptr;
std::vector<Timing> upgradeTimes;
std::vector<Timing> floorTimes;

double best(const std::vector<Timing>& times, double Timing::*field) {
    double least = times.front().*field;
    for (const Timing& t : times) least = std::min(least, t.*field);
    return least;
}

bool prepareWorkload(Workload& w) {
    char pattern[] = "/tmp/upgrade-bench-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    w.scratch = pattern;
    if (unshare(CLONE_NEWNS) == 0 &&
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", w.scratch.c_str(), "tmpfs", 0, kScratchSize) == 0) {
        w.onTmpfs = true;
    } else {
        w.note = std::string("no tmpfs (") + std::strerror(errno) + "), running on disk";
    }
    w.sources = w.scratch + "/sources";
    w.upgradeRoot = w.scratch + "/upgrade";
    w.floorRoot = w.scratch + "/floor";
    makeDirs(w.sources);
    const std::string key = pkgsign::developmentSecretKey();
    for (int i = 0; i < kPackageCount; ++i) {
        std::string bytes = buildPackage(i, key);
        std::string name = "bulk" + std::to_string(i) + ".npk";
        if (!writeFile(w.sources + "/" + name, bytes)) return false;
        w.files.push_back(name);
        w.totalBytes += bytes.size();
    }
    return true;
}

bool copyFile(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    if (!in) return false;
    std::string bytes;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, n);
    std::fclose(in);
    return writeFile(to, bytes);
}

// A router with nothing installed and the packages uploaded.
bool resetUpgradeRoot(const Workload& w) {
    removeTree(w.upgradeRoot);
    for (const char* d : {"/flash/var/pdb", "/flash/boot", "/flash/rw/pckg", "/ram", "/rw"})
        makeDirs(w.upgradeRoot + d);
    for (const std::string& name : w.files)
        if (!copyFile(w.sources + "/" + name, w.upgradeRoot + "/flash/rw/pckg/" + name))
            return false;
    return true;
}

void resetFloorRoot(const Workload& w) {
    removeTree(w.floorRoot);
    makeDirs(w.floorRoot + "/flash/var/pdb");
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// User and system time of all waited-for children so far.
double childCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall-clock and CPU time of one measured step.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()), cpu_(childCpuSeconds()) {}
    Timing elapsed() const { return {secondsSince(start_), childCpuSeconds() - cpu_}; }

private:
    std::chrono::steady_clock::time_point start_;
    double cpu_;
};

bool timeUpgrade(const Workload& w, Timing* timing) {
    const std::string installer = INSTALLER_BINARY;
    Stopwatch watch;
    int status = runProgram(installer, {"-r", w.upgradeRoot}, std::string());
    *timing = watch.elapsed();
    struct stat st;
    std::string last = w.upgradeRoot + "/flash/var/pdb/bulk" + std::to_string(kPackageCount - 1);
    return status == 0 && stat((last + "/version").c_str(), &st) == 0;
}

bool timeFloor(const Workload& w, Timing* timing) {
    const std::string floor = programDirectory() + "/InstallFloor";
    Stopwatch watch;
    for (const std::string& name : w.files)
        if (runProgram(floor, {w.floorRoot}, w.sources + "/" + name) != 0) return false;
    *timing = watch.elapsed();
    return true;
}

void BM_UpgradeRunAgainstFloor(benchmark::State& state) {
    Workload& w = *workload;
    bool upgradeFirst = true;
    for (auto _ : state) {
        state.PauseTiming();
        bool ready = resetUpgradeRoot(w);
        resetFloorRoot(w);
        state.ResumeTiming();
        if (!ready) {
            state.SkipWithError("could not lay out the router root");
            return;
        }
        Timing upgrade, floor;
        bool ok = upgradeFirst ? timeUpgrade(w, &upgrade) && timeFloor(w, &floor)
                               : timeFloor(w, &floor) && timeUpgrade(w, &upgrade);
        if (!ok) {
            state.SkipWithError("the installer or InstallFloor failed");
            return;
        }
        upgradeFirst = !upgradeFirst;
        upgradeTimes.push_back(upgrade);
        floorTimes.push_back(floor);
        state.SetIterationTime(upgrade.wall);
    }
    state.counters["upgrade_ms"] = best(upgradeTimes, &Timing::wall) * 1e3;
    state.counters["floor_ms"] = best(floorTimes, &Timing::wall) * 1e3;
    state.counters["upgrade_cpu_ms"] = best(upgradeTimes, &Timing::cpu) * 1e3;
    state.counters["floor_cpu_ms"] = best(floorTimes, &Timing::cpu) * 1e3;
    state.counters["MiB"] = static_cast<double>(w.totalBytes) / (1 << 20);
    state.SetLabel(w.onTmpfs ? "tmpfs" : w.note);
}
BENCHMARK(BM_UpgradeRunAgainstFloor)->Iterations(6)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    Workload w;
    if (!prepareWorkload(w)) {
        std::fprintf(stderr, "could not prepare the packages\n");
        return 1;
    }
    workload = &w;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    int result = 0;
    if (!upgradeTimes.empty() && upgradeTimes.size() == floorTimes.size()) {
        double bestUpgrade = best(upgradeTimes, &Timing::wall);
        double bestFloor = best(floorTimes, &Timing::wall);
        double ratio = bestUpgrade / bestFloor;
        std::printf("CPU time (user + system): upgrade run %.1f ms, floor %.1f ms, ratio %.3f\n",
                    best(upgradeTimes, &Timing::cpu) * 1e3, best(floorTimes, &Timing::cpu) * 1e3,
                    best(upgradeTimes, &Timing::cpu) / best(floorTimes, &Timing::cpu));
        std::printf(
            "%d packages, %.1f MiB on %s: upgrade run %.1f ms, floor %.1f ms, "
            "ratio %.3f (target at most %.1f): %s\n",
            kPackageCount, static_cast<double>(w.totalBytes) / (1 << 20),
            w.onTmpfs ? "tmpfs" : "disk", bestUpgrade * 1e3, bestFloor * 1e3, ratio, kTarget,
            ratio <= kTarget ? "met" : "MISSED");
        if (ratio > kTarget) result = 1;
    }
    if (w.onTmpfs) umount(w.scratch.c_str());
    removeTree(w.scratch);
    return result;
}
