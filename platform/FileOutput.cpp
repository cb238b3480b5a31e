#include "platform/FileOutput.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

FdOutputBuffer::FdOutputBuffer(size_t blockSize) : block_(blockSize) {
    setp(block_.data(), block_.data() + block_.size());
}

FdOutputBuffer::~FdOutputBuffer() {
    close();
}

void FdOutputBuffer::attach(int fd) {
    close();
    fd_ = fd;
    writeError_ = 0;
    setp(block_.data(), block_.data() + block_.size());
}

bool FdOutputBuffer::writeAll(const char* data, size_t size) {
    if (writeError_ != 0 || fd_ < 0) return false;
    while (size > 0) {
        ssize_t written = ::write(fd_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            // A file takes nothing at all only when its file system is full.
            writeError_ = written < 0 ? errno : ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool FdOutputBuffer::flushBlock() {
    bool ok = writeAll(pbase(), static_cast<size_t>(pptr() - pbase()));
    setp(block_.data(), block_.data() + block_.size());
    return ok;
}

FdOutputBuffer::int_type FdOutputBuffer::overflow(int_type c) {
    if (!flushBlock()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize FdOutputBuffer::xsputn(const char* s, std::streamsize n) {
    std::streamsize room = epptr() - pptr();
    if (n <= room) {
        std::memcpy(pptr(), s, static_cast<size_t>(n));
        pbump(static_cast<int>(n));
        return n;
    }
    if (pptr() == pbase() && n >= static_cast<std::streamsize>(block_.size()))
        return writeAll(s, static_cast<size_t>(n)) ? n : 0;
    // The block is filled before it goes out, so that a file written in small
    // pieces still reaches the file system in whole blocks.
    std::memcpy(pptr(), s, static_cast<size_t>(room));
    pbump(static_cast<int>(room));
    if (!flushBlock()) return 0;
    return xsputn(s + room, n - room) == n - room ? n : 0;
}

int FdOutputBuffer::sync() {
    if (flushBlock()) return 0;
    errno = writeError_;
    return -1;
}

bool FdOutputBuffer::close(bool syncToStorage) {
    if (fd_ < 0) return writeError_ == 0;
    bool ok = flushBlock();
    if (ok && syncToStorage && fsync(fd_) != 0) {
        writeError_ = errno;
        ok = false;
    }
    // Some file systems report a full disk only when the file is closed.
    if (::close(fd_) != 0 && ok) {
        writeError_ = errno;
        ok = false;
    }
    fd_ = -1;
    if (!ok) errno = writeError_;
    return ok;
}

OutputFile::OutputFile(size_t blockSize) : std::ostream(nullptr), buffer_(blockSize) {
    rdbuf(&buffer_);
    setstate(std::ios_base::badbit);
}

void OutputFile::attach(int fd) {
    buffer_.attach(fd);
    clear();
}

bool OutputFile::close(bool syncToStorage) {
    bool ok = buffer_.close(syncToStorage);
    if (!ok) {
        int error = errno;
        setstate(std::ios_base::failbit);
        errno = error;
    }
    return ok;
}
