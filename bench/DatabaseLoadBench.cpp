// Loading a database of 50 packages kept as 16 MiB images must read their header
// parts only. The load runs in a chrooted child (the database paths are
// absolute); the child measures the bytes its read calls returned (rchar of
// /proc/self/io) around loadInstalledPackages.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "database/PackageDatabase.h"
#include "model/InstallContext.h"
#include "tools/harness/Sandbox.h"
#include "tools/PackageWriter.h"

namespace {

using testsupport::makeDirs;
using testsupport::removeTree;

constexpr int kPackageCount = 50;
constexpr uint32_t kImageSize = 16u << 20;
constexpr uint64_t kReadBudget = 1u << 20;
constexpr size_t kSparseChunk = 65536;

// Zero runs become holes, so fifty 16 MiB images take little disk.
bool writeSparse(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    static const std::string zeros(kSparseChunk, '\0');
    bool ok = true;
    for (size_t offset = 0; ok && offset < bytes.size(); offset += kSparseChunk) {
        size_t n = std::min(kSparseChunk, bytes.size() - offset);
        if (bytes.compare(offset, n, zeros, 0, n) == 0) continue;
        ok = pwrite(fd, bytes.data() + offset, n, static_cast<off_t>(offset)) ==
             static_cast<ssize_t>(n);
    }
    ok = ok && ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
    close(fd);
    return ok;
}

class DatabaseRoot {
public:
    DatabaseRoot() {
        char pattern[] = "/tmp/installer-bench-XXXXXX";
        if (!mkdtemp(pattern)) return;
        path = pattern;
        for (int i = 0; i < kPackageCount; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "pkg%02d", i);
            pkgwriter::PackageRecipe recipe;
            recipe.name = name;
            recipe.version = makeVersion(6, 2, kStageFinal, static_cast<uint8_t>(i));
            recipe.buildTime = 1700000000u + static_cast<uint32_t>(i);
            recipe.note = "benchmark package";
            recipe.dependencies = {{"base", 1, 0, 0}};
            recipe.imagePart = std::string(kImageSize, '\0');
            recipe.files = {{pkgwriter::EntryType::File, "flash/bin/tool", 0755, 0, "x"}};
            std::string dir = path + "/flash/var/pdb/" + name;
            makeDirs(dir);
            std::string image = pkgwriter::writePackage(recipe);
            imageBytes += image.size();
            if (!writeSparse(dir + "/image", image)) path.clear();
        }
    }
    ~DatabaseRoot() {
        if (!path.empty()) removeTree(path);
    }
    std::string path;
    uint64_t imageBytes = 0;
};

bool readChar(int fd, uint64_t& value) {
    char text[1024];
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    ssize_t n = read(fd, text, sizeof text - 1);
    if (n <= 0) return false;
    text[n] = '\0';
    const char* field = std::strstr(text, "rchar:");
    if (!field) return false;
    value = std::strtoull(field + 6, nullptr, 10);
    return true;
}

struct LoadResult {
    uint64_t bytesRead = 0;
    uint64_t packages = 0;
};

// Forks, chroots into root and loads the database; false when the child failed.
bool loadInChild(const std::string& root, LoadResult& result) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(fds[0]);
        // opened before the root changes: /proc is not inside the database root
        int io = open("/proc/self/io", O_RDONLY);
        if (io < 0 || chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(1);
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        uint64_t before = 0;
        uint64_t after = 0;
        bool measured = readChar(io, before);
        loadInstalledPackages(context, false, "i386");
        // the second look at the counter also counts the first one's text
        measured = readChar(io, after) && measured;
        LoadResult counts{after - before, context.packages.size()};
        bool sent = write(fds[1], &counts, sizeof counts) == sizeof counts;
        _exit(measured && sent ? 0 : 1);
    }
    close(fds[1]);
    bool ok = read(fds[0], &result, sizeof result) == sizeof result;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_LoadImageDatabase(benchmark::State& state) {
    static DatabaseRoot root;
    if (root.path.empty()) {
        state.SkipWithError("could not build the database tree");
        return;
    }
    LoadResult result;
    for (auto _ : state) {
        if (!loadInChild(root.path, result)) {
            state.SkipWithError("the loading child failed (chroot needs root)");
            return;
        }
    }
    state.counters["packages"] = static_cast<double>(result.packages);
    state.counters["bytes_read"] = static_cast<double>(result.bytesRead);
    state.counters["image_bytes"] = static_cast<double>(root.imageBytes);
    if (result.packages != kPackageCount)
        state.SkipWithError("not every package was loaded");
    else if (result.bytesRead >= kReadBudget)
        state.SkipWithError("the load read more than 1 MiB");
}
BENCHMARK(BM_LoadImageDatabase)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
