#pragma once
// Writing files through plain descriptors with every write checked. A failed
// write is kept (with its errno) and fails the close, so that a full flash or an
// I/O error can never pass for a file written whole.
#include <cstddef>
#include <ostream>
#include <streambuf>
#include <vector>

class FdOutputBuffer : public std::streambuf {
public:
    explicit FdOutputBuffer(size_t blockSize);
    ~FdOutputBuffer() override;
    FdOutputBuffer(const FdOutputBuffer&) = delete;
    FdOutputBuffer& operator=(const FdOutputBuffer&) = delete;

    // Takes ownership of fd.
    void attach(int fd);
    bool isOpen() const { return fd_ >= 0; }
    // Writes what is buffered, optionally syncs the file to storage, and closes
    // it. False when any write, the sync or the close failed; errno then tells
    // the first failure.
    bool close(bool syncToStorage = false);
    // Writes what is buffered; false once any write has failed.
    bool flushBlock();
    int writeError() const { return writeError_; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    bool writeAll(const char* data, size_t size);

    std::vector<char> block_;
    int fd_ = -1;
    int writeError_ = 0;
};

// An output stream over a file descriptor.
class OutputFile : public std::ostream {
public:
    explicit OutputFile(size_t blockSize = 4096);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void attach(int fd);
    bool isOpen() const { return buffer_.isOpen(); }
    // As FdOutputBuffer::close; a failure also sets the stream's failbit.
    bool close(bool syncToStorage = false);
    int writeError() const { return buffer_.writeError(); }

private:
    FdOutputBuffer buffer_;
};
