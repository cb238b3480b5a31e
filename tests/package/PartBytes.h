#pragma once
// Raw package bytes for the package tests, written byte by byte so that the
// tests do not share a format writer with the code under test; plus byte sources
// that behave like a pipe or that record how they are read.
#include <openssl/evp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace partbytes {

inline std::string le16(uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

inline std::string le32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

inline std::string fileHeader(uint32_t magic, uint32_t length) {
    return le32(magic) + le32(length);
}

inline std::string partHeader(uint16_t type, uint32_t length) {
    return le16(type) + le32(length);
}

inline std::string part(uint16_t type, const std::string& payload) {
    return partHeader(type, static_cast<uint32_t>(payload.size())) + payload;
}

// A whole file: file header with the body's length, then the body.
inline std::string packageFile(const std::string& body, uint32_t magic = 0xBAD0F11Eu) {
    return fileHeader(magic, static_cast<uint32_t>(body.size())) + body;
}

inline std::string nameField(const std::string& name) {
    std::string field = name.substr(0, 16);
    field.resize(16, '\0');
    return field;
}

// Header payload: name, version, build time, 8 uninterpreted bytes, then tail
// (a flags word, part of one, or nothing).
inline std::string headerPayload(const std::string& name, uint32_t version, uint32_t buildTime,
                                 const std::string& tail = std::string()) {
    return nameField(name) + le32(version) + le32(buildTime) + std::string(8, '\x5A') + tail;
}

inline std::string dependencyEntry(const std::string& name, uint32_t min, uint32_t max,
                                   int32_t precedence = 0) {
    return nameField(name) + le32(min) + le32(0xCCCCCCCCu) + le32(max) +
           le32(static_cast<uint32_t>(precedence));
}

inline std::string dependencyList(uint16_t count, const std::vector<std::string>& entries) {
    std::string s = le16(count);
    for (const std::string& e : entries) s += e;
    return s;
}

// Deterministic filler bytes.
inline std::string filler(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
    return s;
}

// SHA-1 by libcrypto, the oracle for the reader's hashing.
inline std::string sha1Of(const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(out), length);
}

inline std::string bytesOf(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Reads a pipe through a small buffer; refuses every seek (the base class
// answers -1), like standard input on a pipe. Keeps one byte for put-back.
class PipeStreambuf : public std::streambuf {
public:
    explicit PipeStreambuf(int fd, size_t bufferSize = 64) : fd_(fd), buffer_(bufferSize) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        size_t keep = 0;
        if (eback() != nullptr && gptr() > eback()) {
            buffer_[0] = gptr()[-1];
            keep = 1;
        }
        ssize_t n;
        do {
            n = ::read(fd_, buffer_.data() + keep, buffer_.size() - keep);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return traits_type::eof();
        setg(buffer_.data(), buffer_.data() + keep, buffer_.data() + keep + n);
        return traits_type::to_int_type(*gptr());
    }

private:
    int fd_;
    std::vector<char> buffer_;
};

// Feeds data into a pipe from another thread, in chunks ending at the given
// offsets, pausing between chunks. The read end is offered as an istream.
class PipeFeed {
public:
    explicit PipeFeed(std::string data, std::vector<size_t> cuts = {},
                      std::chrono::milliseconds pause = std::chrono::milliseconds(0))
        : data_(std::move(data)) {
        // A reader that stops early closes its end; the writer must not die of it.
        signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (pipe(fds) != 0) abort();
        readFd_ = fds[0];
        int writeFd = fds[1];
        buffer_ = std::make_unique<PipeStreambuf>(readFd_);
        stream_ = std::make_unique<std::istream>(buffer_.get());
        cuts.push_back(data_.size());
        writer_ = std::thread([this, writeFd, cuts, pause] {
            size_t done = 0;
            for (size_t cut : cuts) {
                cut = std::min(cut, data_.size());
                while (done < cut) {
                    ssize_t n = ::write(writeFd, data_.data() + done, cut - done);
                    if (n <= 0) {
                        if (n < 0 && errno == EINTR) continue;
                        ::close(writeFd);
                        return;
                    }
                    done += static_cast<size_t>(n);
                }
                if (done < data_.size()) std::this_thread::sleep_for(pause);
            }
            ::close(writeFd);
        });
    }
    ~PipeFeed() {
        ::close(readFd_);
        writer_.join();
    }
    PipeFeed(const PipeFeed&) = delete;
    PipeFeed& operator=(const PipeFeed&) = delete;

    std::istream& stream() { return *stream_; }

private:
    std::string data_;
    int readFd_ = -1;
    std::unique_ptr<PipeStreambuf> buffer_;
    std::unique_ptr<std::istream> stream_;
    std::thread writer_;
};

// A source over bytes in memory that records how it is read: the largest block
// asked for, the bytes handed out by block reads and the seeks asked for.
// Seeking can be refused.
class RecordingSource : public std::streambuf {
public:
    RecordingSource(std::string data, bool seekable) : data_(std::move(data)), seekable_(seekable) {
        setg(&data_[0], &data_[0], &data_[0] + data_.size());
    }

    std::streamsize largestRead = 0;
    std::streamsize blockBytes = 0;
    int seeksAsked = 0;

protected:
    std::streamsize xsgetn(char_type* s, std::streamsize n) override {
        largestRead = std::max(largestRead, n);
        std::streamsize got = std::min<std::streamsize>(n, egptr() - gptr());
        std::copy(gptr(), gptr() + got, s);
        gbump(static_cast<int>(got));
        blockBytes += got;
        return got;
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        ++seeksAsked;
        if (!seekable_) return pos_type(off_type(-1));
        off_type base = dir == std::ios_base::beg   ? 0
                        : dir == std::ios_base::cur ? gptr() - eback()
                                                    : egptr() - eback();
        return moveTo(base + off);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        ++seeksAsked;
        if (!seekable_) return pos_type(off_type(-1));
        return moveTo(off_type(pos));
    }

private:
    pos_type moveTo(off_type target) {
        if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + target, egptr());
        return pos_type(target);
    }

    std::string data_;
    bool seekable_;
};

}  // namespace partbytes
