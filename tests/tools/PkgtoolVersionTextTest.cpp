// Version and range text as package authors type it, checked against the
// installer's own formatVersion as the oracle for the text form.
#include <gtest/gtest.h>

#include <string>

#include "model/VersionNumber.h"
#include "tools/VersionText.h"

namespace {

using pkgtool::formatRangeText;
using pkgtool::isValidPackageName;
using pkgtool::parseRangeText;
using pkgtool::parseVersionText;

VersionNumber parsed(const std::string& text) {
    VersionNumber v = 0;
    EXPECT_TRUE(parseVersionText(text, v)) << text;
    return v;
}

TEST(PkgtoolVersionText, ParsesTheInstallersTextForms) {
    EXPECT_EQ(parsed("6.2"), 0x06026600u);
    EXPECT_EQ(parsed("6.2.1"), 0x06026601u);
    EXPECT_EQ(parsed("6.2beta5"), 0x06026205u);
    EXPECT_EQ(parsed("3.20rc2"), 0x03146302u);
    EXPECT_EQ(parsed("5.0alpha"), 0x05006100u);
    EXPECT_EQ(parsed("0.0"), 0x00006600u);
    EXPECT_EQ(parsed("255.255.255"), 0xFFFF66FFu);
    // Build 0 spelled out means the same as leaving it away.
    EXPECT_EQ(parsed("6.2.0"), parsed("6.2"));
    EXPECT_EQ(parsed("6.2rc0"), parsed("6.2rc"));
}

TEST(PkgtoolVersionText, EveryNamedStageRoundTripsThroughFormatVersion) {
    const unsigned numbers[] = {0, 1, 2, 9, 10, 19, 20, 99, 100, 199, 200, 255};
    const uint8_t stages[] = {kStageAlpha, kStageBeta, kStageReleaseCandidate, kStageFinal};
    for (unsigned major : numbers)
        for (unsigned minor : numbers)
            for (uint8_t stage : stages)
                for (unsigned build = 0; build < 256; ++build) {
                    VersionNumber v =
                        makeVersion(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), stage,
                                    static_cast<uint8_t>(build));
                    std::string text = formatVersion(v);
                    VersionNumber back = 0;
                    ASSERT_TRUE(parseVersionText(text, back)) << text;
                    ASSERT_EQ(back, v) << text;
                }
}

TEST(PkgtoolVersionText, RejectsWhatIsNotAVersion) {
    const char* bad[] = {"",          "6",         "6.",       ".2",    "6.2.",       "6..2",
                         "6.2.1.1",   "6.02",      "06.2",     "256.0", "6.256",      "6.2.256",
                         " 6.2",      "6.2 ",      "+6.2",     "-6.2",  "6.2gamma",   "6.2Beta",
                         "6.2beta-1", "6.2beta5x", "6.2rc1.1", "6,2",   "0x06026600", "6.2.1rc"};
    for (const char* text : bad) {
        VersionNumber v = 12345;
        std::string why;
        EXPECT_FALSE(parseVersionText(text, v, &why)) << text;
        EXPECT_EQ(v, 12345u) << text;
        EXPECT_NE(why.find("invalid version"), std::string::npos) << text;
    }
    // Bytes beyond ASCII and embedded zeros are refused, not misread.
    VersionNumber v = 0;
    EXPECT_FALSE(parseVersionText(std::string("6.2\0", 4), v));
    EXPECT_FALSE(parseVersionText("6.2\xff", v));
}

TEST(PkgtoolVersionText, NamesFollowTheInstallersRules) {
    EXPECT_TRUE(isValidPackageName("routing"));
    EXPECT_TRUE(isValidPackageName("sixteen-bytes-ok"));
    EXPECT_TRUE(isValidPackageName("a.b_c+d"));
    EXPECT_TRUE(isValidPackageName("..."));
    std::string why;
    EXPECT_FALSE(isValidPackageName("seventeen-bytes-x", &why));
    EXPECT_NE(why.find("longer than 16 bytes"), std::string::npos);
    const char* unsafe[] = {"", ".", "..", "a/b", "/", "a b", "a\tb", "a\nb"};
    for (const char* name : unsafe) EXPECT_FALSE(isValidPackageName(name)) << name;
    EXPECT_FALSE(isValidPackageName(std::string("a\0b", 3)));
    EXPECT_TRUE(isValidPackageName("a\x7f"));  // only bytes below 0x21 are unsafe
}

TEST(PkgtoolVersionText, RangesCoverEachOperator) {
    struct Case {
        const char* text;
        const char* name;
        VersionNumber min, max;
        int32_t precedence;
    };
    const Case cases[] = {
        {"wifi", "wifi", 0, 0, 0},
        {"system>=6.0", "system", 0x06006600, 0, 0},
        {"system<=6.9", "system", 0, 0x06096600, 0},
        {"routing=6.2", "routing", 0x06026600, 0x06026600, 0},
        {"wifi=6.0..6.9", "wifi", 0x06006600, 0x06096600, 0},
        {"wifi=6.0beta1..6.0", "wifi", 0x06006201, 0x06006600, 0},
        {"cap:7", "cap", 0, 0, 7},
        {"cap=1.0:-3", "cap", 0x01006600, 0x01006600, -3},
        {"cap>=1.0:2147483647", "cap", 0x01006600, 0, 2147483647},
        {"cap:-2147483648", "cap", 0, 0, INT32_MIN},
    };
    for (const Case& c : cases) {
        PackageRange r;
        ASSERT_TRUE(parseRangeText(c.text, true, r)) << c.text;
        EXPECT_EQ(r.name, c.name) << c.text;
        EXPECT_EQ(r.min, c.min) << c.text;
        EXPECT_EQ(r.max, c.max) << c.text;
        EXPECT_EQ(r.precedence, c.precedence) << c.text;
        // What inspect prints is what build takes.
        EXPECT_EQ(formatRangeText(r, true), c.text) << c.text;
    }
    PackageRange r;
    ASSERT_TRUE(parseRangeText("x=6.2..6.2", false, r));
    EXPECT_EQ(formatRangeText(r, false), "x=6.2");
    ASSERT_TRUE(parseRangeText("x:0", true, r));
    EXPECT_EQ(formatRangeText(r, true), "x");
}

TEST(PkgtoolVersionText, RangeErrorsNameTheProblem) {
    struct Case {
        const char* text;
        bool withPrecedence;
        const char* reason;
    };
    const Case cases[] = {
        {"", false, "empty name"},
        {">=6.0", false, "empty name"},
        {"seventeen-bytes-x>=1.0", false, "longer than 16 bytes"},
        {"a/b", false, "contains \"/\""},
        {"x>6.0", false, "expected NAME"},
        {"x<6.0", false, "expected NAME"},
        {"x==6.0", false, "invalid version"},
        {"x>=", false, "invalid version"},
        {"x=6.0..", false, "invalid version"},
        {"x=..6.0", false, "invalid version"},
        {"x=6.9..6.0", false, "lower bound above upper bound"},
        {"x:1", false, "only allowed in provides"},
        {"x:", true, "not a signed 32-bit number"},
        {"x:1.5", true, "not a signed 32-bit number"},
        {"x: 1", true, "not a signed 32-bit number"},
        {"x:2147483648", true, "not a signed 32-bit number"},
        {"x>=6.0:1:2", true, "not a signed 32-bit number"},
    };
    for (const Case& c : cases) {
        PackageRange r;
        r.name = "untouched";
        std::string why;
        EXPECT_FALSE(parseRangeText(c.text, c.withPrecedence, r, &why)) << c.text;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << ": " << why;
        EXPECT_EQ(r.name, "untouched") << c.text;
    }
}

}  // namespace
