// The part reader over arbitrary bytes, driven by a small script of stream
// operations. Whatever it delivers must be the bytes of the input at the
// position it claims, and its copy buffer must receive a prefix of the input.
//
// Input: one control byte (FuzzSupport.h: hashing, copy, pipe-like source, the
// accepted types and the operation script), then the package bytes.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "package/PartReader.h"
#include "platform/ByteOrder.h"

namespace {

using fuzzsupport::expectationFailed;

constexpr size_t kMaxChunk = 97;

// The type lists of the reader's three users, and every type.
std::vector<uint32_t> acceptedTypes(unsigned choice) {
    switch (choice) {
        case 0:
            return {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
        case 1:
            return {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};
        case 2:
            return {18, 1, 24, 23, 3, 19, 17};
        default: {
            std::vector<uint32_t> all;
            for (uint32_t t = 0; t < 32; ++t) all.push_back(t);
            all.push_back(0xFFFF);
            return all;
        }
    }
}

class Script {
public:
    explicit Script(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    uint32_t next(uint32_t bound) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_ % bound;
    }

private:
    uint32_t state_;
};

class Checker {
public:
    Checker(PartReader& reader, const std::string& file) : reader_(reader), file_(file) {}

    // Bytes delivered at position pos of the current part must be the input's.
    void delivered(std::streamoff pos, const char* bytes, size_t n) {
        if (n == 0) return;
        if (pos < 0) return;  // the stream could not say where it was
        uint64_t at = static_cast<uint64_t>(reader_.partOffset()) + static_cast<uint64_t>(pos);
        if (static_cast<uint64_t>(pos) + n > reader_.partLength())
            expectationFailed("read past the end of the part",
                              "pos " + std::to_string(pos) + " n " + std::to_string(n) +
                                  " length " + std::to_string(reader_.partLength()));
        if (at + n > file_.size() || std::memcmp(file_.data() + at, bytes, n) != 0)
            expectationFailed("delivered bytes differ from the input",
                              "offset " + std::to_string(at) + " n " + std::to_string(n));
    }

private:
    PartReader& reader_;
    const std::string& file_;
};

void runOperation(PartReader& reader, Checker& checker, Script& script) {
    char buffer[kMaxChunk];
    std::streamoff pos = reader.tellg();
    switch (script.next(8)) {
        case 0: {  // read the rest in chunks
            for (;;) {
                pos = reader.tellg();
                size_t want = 1 + script.next(kMaxChunk);
                reader.read(buffer, static_cast<std::streamsize>(want));
                size_t got = static_cast<size_t>(reader.gcount());
                checker.delivered(pos, buffer, got);
                if (got < want) break;
            }
            break;
        }
        case 1: {  // take a byte, put it back, take it again
            int first = reader.get();
            if (first == std::char_traits<char>::eof()) break;
            char c = static_cast<char>(first);
            checker.delivered(pos, &c, 1);
            if (!reader.unget()) break;
            int again = reader.get();
            if (again != first)
                expectationFailed("a byte put back came back different",
                                  std::to_string(first) + " then " + std::to_string(again));
            break;
        }
        case 2:
            reader.seekg(static_cast<std::streamoff>(script.next(300)), std::ios_base::cur);
            break;
        case 3:
            reader.seekg(static_cast<std::streamoff>(script.next(40)), std::ios_base::beg);
            break;
        case 4: {
            std::streamsize got = reader.readsome(buffer, 1 + script.next(kMaxChunk));
            checker.delivered(pos, buffer, static_cast<size_t>(got));
            break;
        }
        case 5: {
            std::string line;
            std::getline(reader, line, static_cast<char>(script.next(256)));
            break;
        }
        case 6:
            reader.peek();
            break;
        default:
            reader.seekg(static_cast<std::streamoff>(script.next(40)), std::ios_base::end);
            break;
    }
    if (reader.fail() && !reader.bad()) reader.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t control = data[0];
    std::string file(reinterpret_cast<const char*>(data + 1), size - 1);

    std::istringstream seekable(file);
    fuzzsupport::PipeBuffer pipeBuffer(data + 1, size - 1);
    std::istream pipe(&pipeBuffer);
    std::istream& source = (control & fuzzsupport::kReaderPipe) ? pipe : seekable;
    std::stringbuf copy;
    bool hashing = control & fuzzsupport::kReaderHashing;
    bool copying = control & fuzzsupport::kReaderCopy;

    {
        PartReader reader(source, hashing, copying ? &copy : nullptr);
        if (file.size() >= kFileHeaderSize) {
            const uint8_t* header = data + 1;
            if (reader.magic != load32le(header) ||
                reader.expectedSize !=
                    static_cast<uint32_t>(load32le(header + 4) + kFileHeaderSize))
                expectationFailed("file header misread", "");
        } else if (reader.magic != kMagicUnreadable || reader.expectedSize != 0) {
            expectationFailed("a short file gave a file header", "");
        }
        reader.acceptedTypes = acceptedTypes((control >> fuzzsupport::kReaderTypesShift) & 3);
        Script script(control >> fuzzsupport::kReaderScriptShift);
        Checker checker(reader, file);
        // Every part has at least its 6 header bytes, which bounds the walk.
        size_t parts = 0;
        while (reader.nextPart() >= 0) {
            if (++parts > file.size() / kPartHeaderSize)
                expectationFailed("more parts than the input has room for", "");
            for (uint32_t steps = script.next(4); steps > 0; --steps)
                runOperation(reader, checker, script);
        }
    }

    const std::string copied = copy.str();
    if (!copying && !copied.empty()) expectationFailed("copy written without a copy buffer", "");
    if (copied.size() > file.size() || file.compare(0, copied.size(), copied) != 0)
        expectationFailed("the copy is not a prefix of the input",
                          std::to_string(copied.size()) + " bytes copied");
    return 0;
}
