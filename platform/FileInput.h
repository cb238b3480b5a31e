#pragma once
// Reading files and standard input through plain descriptors. Nothing here
// throws: a read error reads as the end of the data and is kept for whoever
// must tell a damaged file from a short one. Files are opened without blocking
// and only regular files are read, so a FIFO or a device where a file is
// expected can never stall a run.
#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

enum class OpenResult {
    Opened,
    Missing,     // the path does not exist (or a component of it is no directory)
    Unreadable,  // it exists but cannot be read, or is not a regular file
};

// Opens path for reading without blocking; Opened only for a regular file.
// The descriptor is returned in fd (-1 otherwise); errno tells why it failed.
OpenResult openRegularFile(const std::string& path, int& fd);

// Reads a whole regular file. Unreadable also when a read fails part-way.
OpenResult readWholeFile(const std::string& path, std::string& content);

class FdInputBuffer : public std::streambuf {
public:
    explicit FdInputBuffer(size_t blockSize);
    FdInputBuffer(const FdInputBuffer&) = delete;
    FdInputBuffer& operator=(const FdInputBuffer&) = delete;

    void attach(int fd);
    int fd() const { return fd_; }
    // errno of the first failed read (EINTR after a stop request), 0 if none.
    int readError() const { return readError_; }

protected:
    int_type underflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

private:
    // One read of the descriptor; 0 at the end of the data or after a failure.
    std::streamsize readSome(char* s, size_t n);
    char* blockStart() { return block_.data() + 1; }
    void keepPutback(char last);

    std::vector<char> block_;  // one put-back byte, then the block
    int fd_ = -1;
    int readError_ = 0;
};

// An input stream over a file or standard input.
class InputFile : public std::istream {
public:
    explicit InputFile(size_t blockSize = 4096);
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    OpenResult open(const std::string& path);
    // Reads descriptor 0, which stays open when this stream goes.
    void attachStandardInput();
    bool isOpen() const { return buffer_.fd() >= 0; }
    int fd() const { return buffer_.fd(); }
    int readError() const { return buffer_.readError(); }

private:
    FdInputBuffer buffer_;
    bool owned_ = false;
};
