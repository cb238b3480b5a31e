#include "transaction/TempRegistry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "platform/FileInput.h"
#include "platform/FileOutput.h"
#include "transaction/DatabasePaths.h"
#include "transaction/FsTransaction.h"

namespace {

constexpr char kSuffixCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kSuffixLength = 6;
constexpr int kCreateAttempts = 100;
constexpr size_t kNamesPerRecord = 16;
// Marks a recorded name that turned out to be taken by a file not of ours.
constexpr char kNotOurs = '!';

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isSuffixCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool looksTemporary(const std::string& path) {
    if (path == streamImagePath()) return true;
    std::string name = baseName(path);
    if (name.size() <= kSuffixLength) return false;
    for (size_t i = name.size() - kSuffixLength; i < name.size(); ++i)
        if (!isSuffixCharacter(name[i])) return false;
    std::string stem = name.substr(0, name.size() - kSuffixLength);
    return stem == "tmp" || (stem.size() > 1 && stem.back() == '.');
}

TempRegistry::TempRegistry(std::string path) : path_(std::move(path)) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    randomState_ = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(now.tv_nsec) ^
                   (static_cast<uint64_t>(now.tv_sec) << 20) ^ reinterpret_cast<uintptr_t>(this);
    if (randomState_ == 0) randomState_ = 0x9E3779B97F4A7C15ull;
}

TempRegistry::~TempRegistry() {
    if (fd_ >= 0) close(fd_);
}

std::string TempRegistry::randomSuffix() {
    std::string suffix;
    for (size_t i = 0; i < kSuffixLength; ++i) {
        randomState_ ^= randomState_ >> 12;
        randomState_ ^= randomState_ << 25;
        randomState_ ^= randomState_ >> 27;
        uint64_t value = randomState_ * 0x2545F4914F6CDD1Dull;
        suffix += kSuffixCharacters[(value >> 33) % (sizeof kSuffixCharacters - 1)];
    }
    return suffix;
}

void TempRegistry::reclaim(const std::set<std::string>& keep) {
    if (!enabled()) return;
    std::string content;
    // A record that cannot be read is left for a later run, never rewritten
    // without what it holds.
    if (readWholeFile(path_, content) == OpenResult::Unreadable) return;
    std::istringstream lines(content);
    std::vector<std::string> kept;
    std::set<std::string> notOurs;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == kNotOurs) notOurs.insert(line.substr(1));
    }
    lines.clear();
    lines.seekg(0);
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == kNotOurs || notOurs.count(line) != 0) continue;
        if (keep.count(line) != 0) {
            kept.push_back(line);
            continue;
        }
        // Only names of the installer's own making are ever deleted.
        if (!looksTemporary(line)) continue;
        if (unlink(line.c_str()) != 0 && errno != ENOENT) kept.push_back(line);
    }
    kept_ = kept;
    rewrite(kept_);
}

bool TempRegistry::openForAppend() {
    if (fd_ >= 0) return true;
    fd_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

bool TempRegistry::add(const std::string& path) {
    return append(path) && (live_.insert(path), true);
}

bool TempRegistry::append(const std::string& line) {
    if (!enabled()) return true;
    if (!openForAppend()) {
        // A router without a package database yet has nowhere to keep the
        // record; its first commit makes the directory.
        return errno == ENOENT;
    }
    std::string text = line + "\n";
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = write(fd_, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

void TempRegistry::forget(const std::string& path) {
    live_.erase(path);
}

void TempRegistry::finish(bool keepLive) {
    if (!enabled()) return;
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    std::vector<std::string> lines = kept_;
    std::vector<std::string> live(live_.begin(), live_.end());
    std::sort(live.begin(), live.end());
    for (const std::string& path : live) {
        if (keepLive) {
            lines.push_back(path);
            continue;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) lines.push_back(path);
    }
    live_.clear();
    kept_ = lines;
    rewrite(lines);
}

void TempRegistry::rewrite(const std::vector<std::string>& lines) {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    std::string next = path_ + ".new";
    unlink(next.c_str());
    if (lines.empty()) {
        unlink(path_.c_str());
        return;
    }
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return;
    OutputFile out;
    out.attach(fd);
    for (const std::string& line : lines) out << line << '\n';
    // A record that did not reach the flash whole would lose files to track:
    // the old one stays in place then.
    if (out.close(true))
        rename(next.c_str(), path_.c_str());
    else
        unlink(next.c_str());
}

bool TempRegistry::nextName(const std::string& prefix, std::string& path) {
    std::vector<std::string>& names = unused_[prefix];
    if (names.empty()) {
        // Names are recorded a batch at a time: one write to the record for
        // many files. A recorded name never used is simply not found later.
        std::string lines;
        for (size_t i = 0; i < kNamesPerRecord; ++i) {
            names.push_back(prefix + randomSuffix());
            lines += (i == 0 ? "" : "\n") + names.back();
        }
        if (!append(lines)) {
            names.clear();
            return false;
        }
    }
    path = names.back();
    names.pop_back();
    return true;
}

int TempRegistry::createUnique(const std::string& prefix, mode_t mode, std::string& path) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (!nextName(prefix, path)) return -1;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            live_.insert(path);
            return fd;
        }
        int error = errno;
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
        // The name was someone else's after all: the record must hold only
        // files of our own.
        if (!append(std::string(1, kNotOurs) + path)) return -1;
    }
    errno = EEXIST;
    return -1;
}
