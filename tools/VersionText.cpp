#include "tools/VersionText.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pkgtool {

namespace {

bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal 0..255 starting at pos; leading zeros are refused because
// "6.02" is more likely a typo than a wish for 6.2.
bool readComponent(const std::string& text, size_t& pos, uint8_t& out) {
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && isDigit(text[pos])) {
        value = value * 10 + static_cast<unsigned>(text[pos] - '0');
        if (value > 255) return false;
        ++pos;
    }
    if (pos == start) return false;
    if (text[start] == '0' && pos - start > 1) return false;
    out = static_cast<uint8_t>(value);
    return true;
}

struct StageWord {
    const char* word;
    uint8_t code;
};

constexpr StageWord kStageWords[] = {
    {"alpha", kStageAlpha},
    {"beta", kStageBeta},
    {"rc", kStageReleaseCandidate},
};

}  // namespace

bool parseVersionText(const std::string& text, VersionNumber& out, std::string* why) {
    const std::string bad = "invalid version \"" + text +
                            "\" (expected e.g. 6.2, 6.2.1, 6.2alpha, 6.2beta5 or 3.20rc2, "
                            "numbers 0 to 255)";
    size_t pos = 0;
    uint8_t major = 0, minor = 0, build = 0;
    uint8_t stage = kStageFinal;
    if (!readComponent(text, pos, major)) return fail(why, bad);
    if (pos >= text.size() || text[pos] != '.') return fail(why, bad);
    ++pos;
    if (!readComponent(text, pos, minor)) return fail(why, bad);
    if (pos < text.size()) {
        if (text[pos] == '.') {
            ++pos;
            if (!readComponent(text, pos, build)) return fail(why, bad);
        } else {
            bool matched = false;
            for (const StageWord& s : kStageWords) {
                size_t len = std::strlen(s.word);
                if (text.compare(pos, len, s.word) == 0) {
                    stage = s.code;
                    pos += len;
                    matched = true;
                    break;
                }
            }
            if (!matched) return fail(why, bad);
            if (pos < text.size() && !readComponent(text, pos, build)) return fail(why, bad);
        }
    }
    if (pos != text.size()) return fail(why, bad);
    out = makeVersion(major, minor, stage, build);
    return true;
}

bool isValidPackageName(const std::string& name, std::string* why) {
    if (name.empty()) return fail(why, "empty name");
    if (name.size() > kMaxNameLength)
        return fail(why, "name \"" + name + "\" is longer than 16 bytes");
    if (name == "." || name == "..") return fail(why, "name \"" + name + "\" is not allowed");
    for (char c : name) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b == '/') return fail(why, "name \"" + name + "\" contains \"/\"");
        if (b < 0x21)
            return fail(why, "name \"" + name + "\" contains a blank or control character");
    }
    return true;
}

namespace {

// The precedence number after the colon of a range.
bool parsePrecedence(const std::string& text, const std::string& number, int32_t& precedence,
                     std::string* why) {
    const char* begin = number.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(begin, &end, 10);
    bool digitsOnly = !number.empty() && (isDigit(number[0]) || number[0] == '-');
    if (!digitsOnly || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return fail(why, "invalid range \"" + text + "\": precedence \"" + number +
                             "\" is not a signed 32-bit number");
    precedence = static_cast<int32_t>(value);
    return true;
}

}  // namespace

bool parseRangeText(const std::string& text, bool withPrecedence, PackageRange& out,
                    std::string* why) {
    size_t nameEnd = text.find_first_of("<>=:");
    std::string name = text.substr(0, nameEnd);
    std::string nameWhy;
    if (!isValidPackageName(name, &nameWhy))
        return fail(why, "invalid range \"" + text + "\": " + nameWhy);
    std::string rest = nameEnd == std::string::npos ? std::string() : text.substr(nameEnd);

    int32_t precedence = 0;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        if (!withPrecedence)
            return fail(why, "invalid range \"" + text +
                                 "\": a precedence (\":N\") is only "
                                 "allowed in provides entries");
        if (!parsePrecedence(text, rest.substr(colon + 1), precedence, why)) return false;
        rest.erase(colon);
    }

    VersionNumber min = 0, max = 0;
    std::string versionWhy;
    auto version = [&](const std::string& v, VersionNumber& into) {
        if (parseVersionText(v, into, &versionWhy)) return true;
        return fail(why, "invalid range \"" + text + "\": " + versionWhy);
    };
    if (rest.empty()) {
        // any version
    } else if (rest.compare(0, 2, ">=") == 0) {
        if (!version(rest.substr(2), min)) return false;
    } else if (rest.compare(0, 2, "<=") == 0) {
        if (!version(rest.substr(2), max)) return false;
    } else if (rest[0] == '=') {
        std::string bounds = rest.substr(1);
        size_t dots = bounds.find("..");
        if (dots == std::string::npos) {
            if (!version(bounds, min)) return false;
            max = min;
        } else {
            if (!version(bounds.substr(0, dots), min)) return false;
            if (!version(bounds.substr(dots + 2), max)) return false;
            if (min > max)
                return fail(why, "invalid range \"" + text + "\": lower bound above upper bound");
        }
    } else {
        return fail(why, "invalid range \"" + text +
                             "\" (expected NAME, NAME>=V, NAME<=V, NAME=V or NAME=V..W)");
    }
    out.name = name;
    out.min = min;
    out.max = max;
    out.precedence = precedence;
    return true;
}

std::string formatRangeText(const PackageRange& range, bool withPrecedence) {
    std::string text = range.name;
    if (range.min != 0 && range.max != 0) {
        text += "=" + formatVersion(range.min);
        if (range.max != range.min) text += ".." + formatVersion(range.max);
    } else if (range.min != 0) {
        text += ">=" + formatVersion(range.min);
    } else if (range.max != 0) {
        text += "<=" + formatVersion(range.max);
    }
    if (withPrecedence && range.precedence != 0) text += ":" + std::to_string(range.precedence);
    return text;
}

}  // namespace pkgtool
