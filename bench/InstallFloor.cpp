// The floor a stream install is measured against: the least work that installing
// a package from standard input needs. It reads the stream, hashes every byte
// with SHA-1, copies every byte to the image file as the "-" mode does, walks
// the parts, inflates the file container with zlib and writes each regular file
// straight to its place under ROOT/flash. No checks, no transaction, no
// database. With --sync it ends by flushing what it wrote to storage, as an
// install that must survive a power cut has to: the floor of a durable install.
//
// usage: InstallFloor [--sync] ROOT < package
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "package/PackageFormat.h"
#include "platform/ByteOrder.h"
#include "platform/Sha1.h"
#include "transaction/DatabasePaths.h"

namespace {

constexpr size_t kReadBlock = 65536;
constexpr size_t kInflateBlock = 65536;

bool writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Standard input in large blocks; each block is hashed and copied to the image
// as it comes in, which is everything the stream install does to its bytes
// before it looks at them.
class Source {
public:
    Source(int in, int image) : in_(in), image_(image) {}

    // Up to n bytes of what has been read but not consumed; refills when empty.
    size_t peek(const char** data, size_t n) {
        if (at_ == end_ && !refill()) return 0;
        *data = buffer_ + at_;
        return n < end_ - at_ ? n : end_ - at_;
    }
    void consume(size_t n) { at_ += n; }

    bool readExact(char* out, size_t n) {
        while (n > 0) {
            const char* data;
            size_t got = peek(&data, n);
            if (got == 0) return false;
            std::memcpy(out, data, got);
            consume(got);
            out += got;
            n -= got;
        }
        return true;
    }
    bool skip(size_t n) {
        while (n > 0) {
            const char* data;
            size_t got = peek(&data, n);
            if (got == 0) return false;
            consume(got);
            n -= got;
        }
        return true;
    }
    // Reads the rest of the stream, so the image and the hash hold all of it.
    void drain() {
        at_ = end_;
        while (refill()) at_ = end_;
    }
    void digest(uint8_t* out) { hash_.digest(out); }

private:
    bool refill() {
        ssize_t n;
        do {
            n = read(in_, buffer_, sizeof buffer_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false;
        hash_.update(buffer_, static_cast<size_t>(n));
        if (!writeAll(image_, buffer_, static_cast<size_t>(n))) return false;
        at_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }

    int in_;
    int image_;
    SHA1 hash_;
    char buffer_[kReadBlock];
    size_t at_ = 0;
    size_t end_ = 0;
};

// The inflated bytes of one part's payload.
class ContainerReader {
public:
    ContainerReader(Source& source, uint32_t compressedLength)
        : source_(source), left_(compressedLength) {
        std::memset(&zs_, 0, sizeof zs_);
        ok_ = inflateInit(&zs_) == Z_OK;
    }
    ~ContainerReader() {
        inflateEnd(&zs_);
        source_.skip(left_);
    }

    bool readExact(char* out, size_t n) {
        while (n > 0) {
            if (at_ == end_ && !refill()) return false;
            size_t take = n < end_ - at_ ? n : end_ - at_;
            std::memcpy(out, output_ + at_, take);
            at_ += take;
            out += take;
            n -= take;
        }
        return true;
    }
    // Hands out up to n inflated bytes in place.
    size_t next(const char** data, size_t n) {
        if (at_ == end_ && !refill()) return 0;
        *data = output_ + at_;
        size_t take = n < end_ - at_ ? n : end_ - at_;
        at_ += take;
        return take;
    }

private:
    bool refill() {
        if (!ok_ || finished_) return false;
        zs_.next_out = reinterpret_cast<Bytef*>(output_);
        zs_.avail_out = sizeof output_;
        while (zs_.avail_out == sizeof output_) {
            if (zs_.avail_in == 0) {
                const char* data;
                size_t got = left_ > 0 ? source_.peek(&data, left_) : 0;
                if (got == 0) return false;
                // The bytes stay in the source's buffer until inflate is done
                // with them.
                source_.consume(got);
                left_ -= static_cast<uint32_t>(got);
                zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
                zs_.avail_in = static_cast<uInt>(got);
            }
            int rc = inflate(&zs_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                finished_ = true;
                break;
            }
            if (rc != Z_OK) return false;
        }
        at_ = 0;
        end_ = sizeof output_ - zs_.avail_out;
        return end_ > 0;
    }

    Source& source_;
    uint32_t left_;
    z_stream zs_;
    bool ok_ = false;
    bool finished_ = false;
    char output_[kInflateBlock];
    size_t at_ = 0;
    size_t end_ = 0;
};

// Each directory is made once, parents first.
void makeParents(const std::string& path, std::set<std::string>& made) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string dir = path.substr(0, slash);
    if (made.count(dir)) return;
    makeParents(dir, made);
    mkdir(dir.c_str(), 0777);
    made.insert(dir);
}

bool extractContainer(Source& source, uint32_t length, const std::string& root) {
    ContainerReader container(source, length);
    std::set<std::string> made;
    for (;;) {
        uint8_t header[kContainerEntryHeaderSize];
        if (!container.readExact(reinterpret_cast<char*>(header), sizeof header)) return true;
        uint16_t mode = load16le(header + kContainerModeOffset);
        uint32_t size = load32le(header + kContainerSizeOffset);
        std::string name(load16le(header + kContainerNameLengthOffset), '\0');
        if (!container.readExact(&name[0], name.size())) return false;
        bool install =
            (mode & kModeTypeMask) == kModeRegularFile && header[kContainerClassOffset] == 0;
        int fd = -1;
        if (install) {
            std::string target = root + "/flash" + (name[0] == '/' ? "" : "/") + name;
            makeParents(target, made);
            fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode & kModePermissionMask);
            if (fd < 0) return false;
        }
        while (size > 0) {
            const char* data;
            size_t got = container.next(&data, size);
            if (got == 0 || (fd >= 0 && !writeAll(fd, data, got))) {
                if (fd >= 0) close(fd);
                return false;
            }
            size -= static_cast<uint32_t>(got);
        }
        if (fd >= 0 && close(fd) != 0) return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool durable = argc == 3 && std::strcmp(argv[1], "--sync") == 0;
    if (argc != 2 && !durable) {
        std::fprintf(stderr, "usage: InstallFloor [--sync] ROOT < package\n");
        return 2;
    }
    const std::string root = argv[argc - 1];
    const std::string image = root + streamImageWritePath();
    int imageFd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (imageFd < 0) {
        std::perror(image.c_str());
        return 1;
    }
    static Source source(0, imageFd);
    char fileHeader[kFileHeaderSize];
    bool ok = source.readExact(fileHeader, sizeof fileHeader);
    while (ok) {
        uint8_t partHeader[kPartHeaderSize];
        if (!source.readExact(reinterpret_cast<char*>(partHeader), sizeof partHeader)) break;
        uint16_t type = load16le(partHeader);
        uint32_t length = load32le(partHeader + kPartLengthOffset);
        ok = type == kPartFileContainer ? extractContainer(source, length, root)
                                        : source.skip(length);
    }
    source.drain();
    uint8_t digest[SHA1::kDigestSize];
    source.digest(digest);
    close(imageFd);
    // A package without an image part leaves no image behind.
    unlink(image.c_str());
    if (durable) sync();
    if (!ok) {
        std::fprintf(stderr, "InstallFloor: damaged package\n");
        return 1;
    }
    return 0;
}
