#include "PackageSetText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "model/InstallContext.h"
#include "model/VersionNumber.h"

namespace plantest {

namespace {

bool parseNumber(const std::string& text, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return *end == '\0';
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

bool parseRange(std::string text, bool withPrecedence, PackageRange& range) {
    range = PackageRange{};
    if (withPrecedence) {
        size_t at = text.find('@');
        if (at != std::string::npos) {
            long long precedence;
            if (!parseNumber(text.substr(at + 1), precedence)) return false;
            range.precedence = static_cast<int32_t>(precedence);
            text.resize(at);
        }
    }
    size_t op = text.find_first_of("<>=");
    range.name = text.substr(0, op);
    if (range.name.empty()) return false;
    while (op != std::string::npos) {
        size_t next = text.find_first_of("<>", op + 2);
        std::string bound = text.substr(op, next == std::string::npos ? next : next - op);
        VersionNumber v;
        if (bound.compare(0, 2, ">=") == 0) {
            if (!parseVersion(bound.substr(2), v)) return false;
            range.min = v;
        } else if (bound.compare(0, 2, "<=") == 0) {
            if (!parseVersion(bound.substr(2), v)) return false;
            range.max = v;
        } else if (bound[0] == '=') {
            if (!parseVersion(bound.substr(1), v)) return false;
            range.min = range.max = v;
        } else {
            return false;
        }
        op = next;
    }
    return true;
}

bool parseRanges(const std::string& text, bool withPrecedence, std::vector<PackageRange>& list) {
    for (const std::string& item : split(text, ',')) {
        PackageRange range;
        if (!parseRange(item, withPrecedence, range)) return false;
        list.push_back(range);
    }
    return true;
}

}  // namespace

bool parseVersion(const std::string& text, VersionNumber& version) {
    if (text.compare(0, 2, "0x") == 0) {
        long long value;
        if (!parseNumber(text, value)) return false;
        version = static_cast<VersionNumber>(value);
        return true;
    }
    size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0) return false;
    long long major;
    if (!parseNumber(text.substr(0, dot), major)) return false;
    size_t minorEnd = text.find_first_not_of("0123456789", dot + 1);
    long long minor;
    if (!parseNumber(text.substr(dot + 1, minorEnd - dot - 1), minor)) return false;
    uint8_t stage = kStageFinal;
    long long build = 0;
    if (minorEnd != std::string::npos) {
        std::string rest = text.substr(minorEnd);
        static const struct {
            const char* word;
            uint8_t stage;
        } kStages[] = {{".", kStageFinal},
                       {"alpha", kStageAlpha},
                       {"beta", kStageBeta},
                       {"rc", kStageReleaseCandidate}};
        bool known = false;
        for (const auto& s : kStages) {
            std::string word = s.word;
            if (rest.compare(0, word.size(), word) != 0) continue;
            stage = s.stage;
            std::string digits = rest.substr(word.size());
            if (!digits.empty() && !parseNumber(digits, build)) return false;
            if (stage == kStageFinal && digits.empty()) return false;
            known = true;
            break;
        }
        if (!known) return false;
    }
    version = makeVersion(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), stage,
                          static_cast<uint8_t>(build));
    return true;
}

bool parsePackageLine(const std::string& line, PackageRecord& record, std::string& error) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> record.name)) {
        error = "no name";
        return false;
    }
    if (!(in >> word) || !parseVersion(word, record.version)) {
        error = "bad version in: " + line;
        return false;
    }
    while (in >> word) {
        size_t eq = word.find('=');
        std::string key = word.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
        bool ok = true;
        long long number = 0;
        if (word == "enabled") {
            record.disabled = false;
        } else if (word == "disabled") {
            record.disabled = true;
        } else if (word == "uninstall") {
            record.pendingAction = kActionUninstall;
        } else if (word == "enable") {
            record.pendingAction = kActionEnable;
        } else if (word == "disable") {
            record.pendingAction = kActionDisable;
        } else if (word == "bundle") {
            record.isBundle = true;
        } else if (word == "placeholder") {
            record.version = kPlaceholderMark;
            record.buildTime = kPlaceholderMark;
        } else if (word == "user") {
            record.userForced = true;
        } else if (key == "deps") {
            ok = parseRanges(value, false, record.dependencies);
        } else if (key == "provides") {
            ok = parseRanges(value, true, record.provides);
        } else if (key == "conflicts") {
            ok = parseRanges(value, false, record.conflicts);
        } else if (key == "in") {
            record.bundle.name = value;
            ok = !value.empty();
        } else if (key == "members") {
            for (const std::string& item : split(value, ',')) {
                size_t at = item.find('@');
                auto member = std::make_unique<PackageInfo>(item.substr(0, at));
                ok = ok && at != std::string::npos &&
                     parseVersion(item.substr(at + 1), member->version);
                record.members.push_back(std::move(member));
            }
        } else if (key == "arch") {
            record.architecture = value;
        } else if (key == "built") {
            ok = parseNumber(value, number);
            record.buildTime = static_cast<uint32_t>(number);
        } else if (key == "flags") {
            ok = parseNumber(value, number);
            record.flags = static_cast<uint32_t>(number);
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad word '" + word + "' in: " + line;
            return false;
        }
    }
    return true;
}

std::unique_ptr<PackageRecord> makeRecord(const std::string& line) {
    auto record = std::make_unique<PackageRecord>();
    std::string error;
    if (!parsePackageLine(line, *record, error)) ADD_FAILURE() << error;
    return record;
}

PackageRecord& addPackage(InstallContext& context, const std::string& line) {
    return *context.append(makeRecord(line));
}

void addPackages(InstallContext& context, const std::string& lines) {
    std::istringstream in(lines);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        addPackage(context, line);
    }
}

std::string listText(const std::vector<PackageRecord*>& list) {
    if (list.empty()) return "-";
    std::string text;
    for (const PackageRecord* r : list) {
        if (!text.empty()) text += ' ';
        text += nameWithVersion(*r);
    }
    return text;
}

std::string pendingText(const InstallContext& context) {
    std::string text;
    for (const auto& r : context.packages) {
        if (r->pendingAction == kActionNone) continue;
        if (!text.empty()) text += ' ';
        text += r->name + "=" + actionWord(r->pendingAction);
    }
    return text.empty() ? "-" : text;
}

}  // namespace plantest
