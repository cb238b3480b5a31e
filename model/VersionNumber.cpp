#include "model/VersionNumber.h"

#include <cstdio>

#include "model/PackageRecord.h"

std::string formatVersion(VersionNumber v) {
    unsigned major = v >> 24;
    unsigned minor = (v >> 16) & 0xFF;
    unsigned stage = (v >> 8) & 0xFF;
    unsigned build = v & 0xFF;
    char text[80];
    if (stage == kStageFinal) {
        if (build != 0)
            std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
        else
            std::snprintf(text, sizeof text, "%u.%u", major, minor);
    } else {
        const char* stageName = stage == kStageAlpha              ? "alpha"
                                : stage == kStageBeta             ? "beta"
                                : stage == kStageReleaseCandidate ? "rc"
                                                                  : "";
        if (build != 0)
            std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, stageName, build);
        else
            std::snprintf(text, sizeof text, "%u.%u%s", major, minor, stageName);
    }
    return text;
}

std::string nameWithVersion(const PackageInfo& record) {
    return record.name + "-" + formatVersion(record.version);
}

std::string rangeText(const PackageRange& range) {
    if (range.min == 0) return range.name;
    return range.name + "-" + formatVersion(range.min);
}

bool sameName(const std::string& a, const std::string& b) {
    return a == b;
}

bool satisfies(const PackageInfo& record, const PackageRange& range) {
    return sameName(record.name, range.name) && record.version >= range.min &&
           (range.max == 0 || record.version <= range.max);
}

bool rangesOverlap(const PackageRange& a, const PackageRange& b) {
    if (!sameName(a.name, b.name)) return false;
    if (a.min != 0 && b.max != 0 && a.min > b.max) return false;
    if (a.max != 0 && b.min != 0 && a.max < b.min) return false;
    return true;
}

bool providesRange(const PackageInfo& record, const PackageRange& range) {
    for (const PackageRange& p : record.provides)
        if (rangesOverlap(p, range)) return true;
    return false;
}

static const PackageInfo* memberNamed(const PackageInfo& bundle, const std::string& name) {
    for (const auto& m : bundle.members)
        if (sameName(m->name, name)) return m.get();
    return nullptr;
}

int compareVersions(const PackageInfo& a, const PackageInfo& b) {
    int sign = 1;
    const PackageInfo* x = &a;
    const PackageInfo* y = &b;
    // Each step descends into a member list, and member lists are finite trees,
    // so the walk ends.
    for (;;) {
        if (sameName(x->name, y->name)) {
            if (x->version != y->version) return x->version > y->version ? sign : -sign;
            if (x->buildTime != y->buildTime) return x->buildTime > y->buildTime ? sign : -sign;
            return 0;
        }
        if (const PackageInfo* m = memberNamed(*x, y->name)) {
            x = m;
            continue;
        }
        if (const PackageInfo* m = memberNamed(*y, x->name)) {
            sign = -sign;
            y = x;
            x = m;
            continue;
        }
        return 0;
    }
}

int compareForChoice(const PackageInfo& a, const PackageInfo& b, bool preferOlder) {
    int c = compareVersions(a, b);
    return preferOlder ? -c : c;
}

bool isPlaceholder(const PackageInfo& record) {
    return record.version == kPlaceholderMark && record.buildTime == kPlaceholderMark;
}
