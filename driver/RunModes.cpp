#include "driver/RunModes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "driver/Cleanup.h"
#include "driver/InstallContext.h"
#include "driver/PackageListing.h"
#include "driver/UpgradeRun.h"
#include "planning/ChangePlanning.h"
#include "planning/PackageRemoval.h"
#include "planning/StreamInstall.h"
#include "transaction/FsTransaction.h"
#include "transaction/Manifest.h"
#include "transaction/TempFiles.h"

void commitStoredTransaction(InstallContext& context) {
    FsTransaction transaction;
    readManifest(transaction, kManifestPath);
    context.out() << "finishing install... ";
    context.out().flush();
    transaction.commit(true);
    // The space lands over the spinner's last character.
    context.out() << "\b \n";
    context.out().flush();
}

void cancelStoredTransaction() {
    FsTransaction transaction;
    readManifest(transaction, kManifestPath);
    transaction.cancel();
    unlink(kManifestPath);
}

int runListingMode(InstallContext& context) {
    listPackages(context);
    return 0;
}

int runCleanupMode(InstallContext& context) {
    FsTransaction transaction;
    runCleanup(context, transaction);
    transaction.commit(false);
    return 0;
}

namespace {

constexpr size_t kStreamBlockSize = 65536;

// The image copy receives the stream in the small pieces the package is read
// in; collecting them into large blocks keeps the copy from costing one write
// call per piece.
class ImageFileBuffer : public std::streambuf {
public:
    ImageFileBuffer() : block_(kStreamBlockSize) {}
    ~ImageFileBuffer() override { close(); }

    bool open(const char* path) {
        fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        setp(block_.data(), block_.data() + block_.size());
        return fd_ >= 0;
    }
    bool close() {
        if (fd_ < 0) return true;
        bool ok = flushBlock() && ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }

protected:
    int_type overflow(int_type c) override {
        if (!flushBlock()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::streamsize done = 0;
        while (done < n) {
            if (pptr() == epptr() && !flushBlock()) break;
            std::streamsize room = epptr() - pptr();
            std::streamsize take = n - done < room ? n - done : room;
            std::memcpy(pptr(), s + done, static_cast<size_t>(take));
            pbump(static_cast<int>(take));
            done += take;
        }
        return done;
    }
    int sync() override { return flushBlock() ? 0 : -1; }

private:
    bool flushBlock() {
        const char* at = pbase();
        while (at < pptr()) {
            ssize_t written = ::write(fd_, at, static_cast<size_t>(pptr() - at));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            at += written;
        }
        setp(block_.data(), block_.data() + block_.size());
        return true;
    }

    std::vector<char> block_;
    int fd_ = -1;
};

// Standard input in large blocks. The package is read in small pieces, and
// reading the descriptor piece by piece would cost a system call for each.
class StandardInputBuffer : public std::streambuf {
public:
    StandardInputBuffer() : block_(kPutbackSize + kStreamBlockSize) {
        char* start = block_.data() + kPutbackSize;
        setg(start, start, start);
    }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        // The last byte stays in front of the new block, so that it can still
        // be put back.
        char* start = block_.data() + kPutbackSize;
        size_t keep = gptr() > eback() ? kPutbackSize : 0;
        if (keep) start[-1] = gptr()[-1];
        ssize_t got;
        do {
            got = ::read(STDIN_FILENO, start, kStreamBlockSize);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return traits_type::eof();
        setg(start - keep, start, start + got);
        return traits_type::to_int_type(*gptr());
    }

private:
    static constexpr size_t kPutbackSize = 1;
    std::vector<char> block_;
};

// After a successful stream install the copied package file becomes the
// package's stored image, or the boot image.
void placeStreamImage(FsTransaction& transaction, const std::string& databaseDir, bool bootImage) {
    if (databaseDir.empty()) {
        // No image part: the copy has no use, and an ordinary package must
        // never take the boot image away.
        unlink(kStreamImagePath);
        return;
    }
    std::string target = databaseDir + "image";
    if (bootImage) {
        transaction.move(kStreamImagePath, kBootImagePath);
        transaction.link(kBootImagePath, target);
    } else {
        transaction.move(kStreamImagePath, target);
        transaction.remove(kBootImagePath);
    }
}

}  // namespace

int runStreamInstallMode(InstallContext& context, const RunOptions& options) {
    FsTransaction transaction;
    applyPlan(context, transaction, 1);

    ImageFileBuffer image;
    if (!image.open(kStreamImageWritePath)) {
        context.out() << "ERROR: could not open image\n";
        context.out().flush();
        return kExitImageUnwritable;
    }
    std::string databaseDir;
    bool bootImage = false;
    StandardInputBuffer standardInput;
    std::istream input(&standardInput);
    int result = installStream(context, transaction, input, options.installFlags | kAllowUpgrade,
                               UserStateMap(), &image, &databaseDir, &bootImage);
    image.close();

    if (result == 0) {
        placeStreamImage(transaction, databaseDir, bootImage);
        transaction.commit(false);
    } else {
        // What was staged belongs to a package that did not install (its
        // signature may not even have been checked): none of it is applied.
        transaction.cancel();
        unlink(kStreamImagePath);
    }
    context.writePostLog();
    return result;
}
