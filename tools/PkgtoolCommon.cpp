#include "tools/PkgtoolCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/Signer.h"

namespace pkgtool {

int Console::fail(int status, const std::string& message) const {
    err << "pkgtool: error: " << message << "\n";
    return status;
}

void Console::warn(const std::string& message) const {
    err << "pkgtool: warning: " << message << "\n";
}

std::string toHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string systemReason(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

}  // namespace

bool fromHex(const std::string& text, size_t size, std::string& bytes) {
    if (text.size() != size * 2) return false;
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        int hi = hexValue(text[2 * i]);
        int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<char>((hi << 4) | lo);
    }
    bytes = out;
    return true;
}

bool readWholeFile(const std::string& path, std::string& content, std::string* why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (why) *why = systemReason(path);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        if (why) *why = systemReason(path);
        return false;
    }
    std::string data;
    char chunk[65536];
    while (true) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
            if (why) *why = systemReason(path);
            return false;
        }
        if (n == 0) break;
        data.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    content = std::move(data);
    return true;
}

namespace {

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& content, unsigned mode,
                         bool exclusive, std::string* why) {
    if (exclusive && ::access(path.c_str(), F_OK) == 0) {
        if (why) *why = path + ": file exists (will not overwrite it)";
        return false;
    }
    std::string temp = path + ".tmpXXXXXX";
    int fd = ::mkstemp(&temp[0]);
    if (fd < 0) {
        if (why) *why = systemReason(path);
        return false;
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, mode & ~mask) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok) {
        int placed =
            exclusive ? ::link(temp.c_str(), path.c_str()) : ::rename(temp.c_str(), path.c_str());
        if (placed != 0) {
            ok = false;
            saved = errno;
        }
    }
    if (!ok || exclusive) ::unlink(temp.c_str());
    if (!ok) {
        errno = saved;
        if (why) *why = systemReason(path);
    }
    return ok;
}

std::string keyFileText(const std::string& secretKey) {
    return toHex(secretKey) + "\n";
}

bool parseKeyFile(const std::string& text, std::string& secretKey) {
    size_t end = text.find_last_not_of(" \t\r\n");
    std::string digits = end == std::string::npos ? std::string() : text.substr(0, end + 1);
    return fromHex(digits, pkgsign::kSecretKeySize, secretKey);
}

bool parsePublicKeyList(const std::string& text, std::vector<std::string>& keys, std::string* why) {
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
        std::string key;
        if (!fromHex(item, pkgsign::kPublicKeySize, key)) {
            if (why) *why = "invalid public key \"" + item + "\" (expected 64 hex digits)";
            return false;
        }
        keys.push_back(key);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

int usageError(const Console& console, const std::string& command, const std::string& why) {
    return console.fail(kExitUsage, why + "; see \"pkgtool " + command + " --help\"");
}

bool parseSeconds(const std::string& text, uint32_t& seconds) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return false;
    seconds = static_cast<uint32_t>(value);
    return true;
}

}  // namespace pkgtool
