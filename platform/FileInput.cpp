#include "platform/FileInput.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/StopSignals.h"

namespace {

constexpr size_t kWholeFileChunk = 16384;
const std::streambuf::pos_type kSeekFailed(std::streambuf::off_type(-1));

}  // namespace

OpenResult openRegularFile(const std::string& path, int& fd) {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? OpenResult::Missing
                                                           : OpenResult::Unreadable;
    struct stat st;
    bool examined = fstat(fd, &st) == 0;
    if (!examined || !S_ISREG(st.st_mode)) {
        int error = !examined ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        fd = -1;
        errno = error;
        return OpenResult::Unreadable;
    }
    return OpenResult::Opened;
}

OpenResult readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    InputFile in(kWholeFileChunk);
    OpenResult opened = in.open(path);
    if (opened != OpenResult::Opened) return opened;
    char chunk[kWholeFileChunk];
    for (;;) {
        in.read(chunk, sizeof chunk);
        content.append(chunk, static_cast<size_t>(in.gcount()));
        if (!in) break;
    }
    if (in.readError() != 0) {
        errno = in.readError();
        return OpenResult::Unreadable;
    }
    return OpenResult::Opened;
}

FdInputBuffer::FdInputBuffer(size_t blockSize) : block_(blockSize + 1) {
    setg(blockStart(), blockStart(), blockStart());
}

void FdInputBuffer::attach(int fd) {
    fd_ = fd;
    readError_ = 0;
    setg(blockStart(), blockStart(), blockStart());
}

std::streamsize FdInputBuffer::readSome(char* s, size_t n) {
    if (fd_ < 0 || readError_ != 0) return 0;
    for (;;) {
        // A stop request ends the data: the run is going to cancel anyway.
        if (stopSignal() != 0) {
            readError_ = EINTR;
            return 0;
        }
        ssize_t got = ::read(fd_, s, n);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        readError_ = errno;
        return 0;
    }
}

void FdInputBuffer::keepPutback(char last) {
    block_[0] = last;
    setg(block_.data(), blockStart(), blockStart());
}

FdInputBuffer::int_type FdInputBuffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    // The last byte stays in front of the new block, so that it can still be
    // put back.
    bool keep = gptr() > eback();
    if (keep) block_[0] = gptr()[-1];
    std::streamsize got = readSome(blockStart(), block_.size() - 1);
    if (got <= 0) return traits_type::eof();
    setg(keep ? block_.data() : blockStart(), blockStart(), blockStart() + got);
    return traits_type::to_int_type(*gptr());
}

std::streamsize FdInputBuffer::xsgetn(char_type* s, std::streamsize n) {
    std::streamsize done = 0;
    const std::streamsize blockSize = static_cast<std::streamsize>(block_.size() - 1);
    while (done < n) {
        std::streamsize buffered = egptr() - gptr();
        if (buffered > 0) {
            std::streamsize take = std::min(buffered, n - done);
            std::memcpy(s + done, gptr(), static_cast<size_t>(take));
            gbump(static_cast<int>(take));
            done += take;
            continue;
        }
        if (n - done >= blockSize) {
            // Large reads go straight into the caller's memory.
            std::streamsize got = readSome(s + done, static_cast<size_t>(n - done));
            if (got <= 0) break;
            done += got;
            keepPutback(s[done - 1]);
            continue;
        }
        if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
    }
    return done;
}

FdInputBuffer::pos_type FdInputBuffer::seekoff(off_type off, std::ios_base::seekdir dir,
                                               std::ios_base::openmode) {
    if (fd_ < 0) return kSeekFailed;
    if (dir == std::ios_base::cur) {
        off_type buffered = egptr() - gptr();
        if (off >= 0 && off <= buffered) {
            off_type position = lseek(fd_, 0, SEEK_CUR);
            if (position < 0) return kSeekFailed;
            gbump(static_cast<int>(off));
            return pos_type(position - (buffered - off));
        }
        off -= buffered;
    }
    int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::cur ? SEEK_CUR
                                                                                  : SEEK_END;
    off_t position = lseek(fd_, static_cast<off_t>(off), whence);
    if (position < 0) return kSeekFailed;
    setg(blockStart(), blockStart(), blockStart());
    return pos_type(off_type(position));
}

FdInputBuffer::pos_type FdInputBuffer::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

InputFile::InputFile(size_t blockSize) : std::istream(nullptr), buffer_(blockSize) {
    rdbuf(&buffer_);
    setstate(std::ios_base::badbit);
}

InputFile::~InputFile() {
    if (owned_ && buffer_.fd() >= 0) ::close(buffer_.fd());
}

OpenResult InputFile::open(const std::string& path) {
    int fd = -1;
    OpenResult result = openRegularFile(path, fd);
    if (result != OpenResult::Opened) return result;
    buffer_.attach(fd);
    owned_ = true;
    clear();
    return result;
}

void InputFile::attachStandardInput() {
    buffer_.attach(STDIN_FILENO);
    owned_ = false;
    clear();
}
