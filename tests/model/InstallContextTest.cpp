#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "model/InstallContext.h"
#include "support/Sandbox.h"

namespace {

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";

// What setStatus puts on the console for text replacing a status of oldLength.
std::string statusBytes(const std::string& text, size_t oldLength) {
    std::string pad = oldLength > text.size() ? std::string(oldLength - text.size(), ' ') : "";
    return kHide + "\r" + text + pad + "\r" + kShow;
}

std::string blankLine() {
    return "\r" + std::string(79, ' ') + "\r";
}

class ConsoleTest : public ::testing::Test {
protected:
    ConsoleTest() { context.console.setOutput(console); }
    std::string take() {
        std::string bytes = console.str();
        console.str("");
        return bytes;
    }
    InstallContext context;
    std::ostringstream console;
};

TEST_F(ConsoleTest, StatusIsRewrittenOnlyWhenItChangesAndPaddedWhenShorter) {
    context.console.setStatus("enabling routing...");
    EXPECT_EQ(take(), statusBytes("enabling routing...", 0));
    context.console.setStatus("enabling routing...");
    EXPECT_EQ(take(), "") << "an unchanged status is not written again";
    context.console.setStatus("disabling a...");
    EXPECT_EQ(take(), statusBytes("disabling a...", 19));
    EXPECT_EQ(context.console.status, "disabling a...");
    context.console.setStatus("");
    EXPECT_EQ(take(), statusBytes("", 14));
    EXPECT_EQ(context.console.status, "");
    EXPECT_TRUE(context.console.messages.empty());
}

TEST_F(ConsoleTest, WarningKeepsTheBarBelowTheMessage) {
    context.console.showProgress("installing a-1.0", 0, 100);
    std::string bar = "installing a-1.0 [" + std::string(58, ' ') + "]";
    ASSERT_EQ(take(), statusBytes(bar, 0));
    context.console.reportWarning("omitting package %s: %d", "x", 7);
    EXPECT_EQ(take(), blankLine() + "WARNING: omitting package x: 7\n" + bar);
    EXPECT_EQ(context.console.status, bar);
    ASSERT_EQ(context.console.messages.size(), 1u);
    EXPECT_EQ(context.console.messages[0], "WARNING: omitting package x: 7");
}

TEST_F(ConsoleTest, ErrorAndInfoEraseTheBarForGood) {
    std::string bar = "installing b [" + std::string(61, '#') + std::string(1, ' ') + "]";
    context.console.showProgress("installing b", 61, 62);
    ASSERT_EQ(take(), statusBytes(bar, 0));
    context.console.reportError("installation of %s failed", "b-1.0");
    EXPECT_EQ(take(), statusBytes("", 77) + "ERROR: installation of b-1.0 failed\n");
    EXPECT_EQ(context.console.status, "");

    context.console.showProgress("installing b", 61, 62);
    take();
    context.console.reportInfo("installed %s%s", "b-1.0", "");
    EXPECT_EQ(take(), statusBytes("", 77) + "installed b-1.0\n");
    EXPECT_EQ(context.console.messages,
              (std::vector<std::string>{"ERROR: installation of b-1.0 failed", "installed b-1.0"}));
}

TEST_F(ConsoleTest, MessagesAreCutAt255FormattedCharacters) {
    std::string longText(300, 'x');
    context.console.reportError("%s", longText.c_str());
    std::string expected = "ERROR: " + std::string(255, 'x');
    EXPECT_EQ(take(), expected + "\n");
    ASSERT_EQ(context.console.messages.size(), 1u);
    EXPECT_EQ(context.console.messages[0], expected);
}

TEST_F(ConsoleTest, QuietWritesAndCollectsNothing) {
    context.console.quiet = true;
    context.console.setStatus("enabling a...");
    context.console.showProgress("installing a-1.0", 5, 10);
    context.console.reportWarning("w");
    context.console.reportError("e");
    context.console.reportInfo("i");
    EXPECT_EQ(take(), "");
    EXPECT_TRUE(context.console.messages.empty());
    EXPECT_EQ(context.console.status, "");
}

std::string barOf(InstallContext& context, std::ostringstream& console, const std::string& label,
                  uint32_t position, uint32_t total) {
    context.console.setStatus("");
    console.str("");
    context.console.showProgress(label, position, total);
    return context.console.status;
}

TEST_F(ConsoleTest, ProgressBarIsAlways77WideAndClamped) {
    std::string label = "installing pkg-1.0";  // 18 characters: 56 marks wide
    std::string empty = barOf(context, console, label, 0, 1000);
    EXPECT_EQ(empty, label + " [" + std::string(56, ' ') + "]");
    std::string full = barOf(context, console, label, 1000, 1000);
    EXPECT_EQ(full, label + " [" + std::string(56, '#') + "]");
    EXPECT_EQ(full.size(), 77u);
    EXPECT_EQ(barOf(context, console, label, 500, 1000),
              label + " [" + std::string(28, '#') + std::string(28, ' ') + "]");

    // 3e9 x 56 does not fit in 32 bits; the product must be formed in 64.
    EXPECT_EQ(barOf(context, console, label, 3000000000u, 4000000000u),
              label + " [" + std::string(42, '#') + std::string(14, ' ') + "]");

    EXPECT_EQ(barOf(context, console, label, 2000, 1000), full) << "position past the total";
    EXPECT_EQ(barOf(context, console, label, 5, 0), full) << "a total of 0 must not divide";

    std::string longLabel(80, 'L');
    EXPECT_EQ(barOf(context, console, longLabel, 3, 10), longLabel + " []");
    std::string exact(74, 'L');
    EXPECT_EQ(barOf(context, console, exact, 3, 10), exact + " []");
}

TEST_F(ConsoleTest, ProgressIsRedrawnOnlyWhenTheMarksChange) {
    context.console.showProgress("installing a", 1, 1000);
    std::string first = take();
    EXPECT_FALSE(first.empty());
    context.console.showProgress("installing a", 2, 1000);
    EXPECT_EQ(take(), "");
    context.console.showProgress("installing a", 500, 1000);
    EXPECT_NE(take(), "");
}

// The post-log lives at an absolute path, so these run in a chrooted child.
class PostLogTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::makeDirs(root.path() + "/flash"); }
    std::string postLog() { return testsupport::readFile(root / "flash/postlog"); }
    testsupport::TempDir root;
};

TEST_F(PostLogTest, OldLinesComeFirstAndTheFileIsReservedMeanwhile) {
    testsupport::writeFile(root / "flash/postlog", "one\ntwo\nthree\n");
    int status = testsupport::runChrooted(root.path(), [] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        context.console.reservePostLog();
        EXPECT_EQ(context.console.messages, (std::vector<std::string>{"one", "two", "three"}));
        EXPECT_EQ(console.str(), "") << "old lines are not shown";
        // Until the run's log replaces it, the old lines stay readable ahead of
        // the reserved block (which a reader drops as an unfinished line).
        EXPECT_EQ(testsupport::readFile("/flash/postlog"),
                  "one\ntwo\nthree\n" + std::string(4096, '\0'));
        context.console.reportInfo("installed a-1.0");
        context.console.reportWarning("omitting package b-2.0");
        context.console.writePostLog();
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(postLog(), "one\ntwo\nthree\ninstalled a-1.0\nWARNING: omitting package b-2.0\n");
}

TEST_F(PostLogTest, WithoutReservationMessagesAreAppended) {
    testsupport::writeFile(root / "flash/postlog", "old\n");
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           InstallContext context;
                                           std::ostringstream console;
                                           context.console.setOutput(console);
                                           context.console.reportError("x");
                                           context.console.writePostLog();
                                       }),
              0);
    EXPECT_EQ(postLog(), "old\nERROR: x\n");
}

TEST_F(PostLogTest, UnterminatedLastLineAndLeftoverZeroBlockAreDropped) {
    testsupport::writeFile(root / "flash/postlog", "kept\n" + std::string(4096, '\0'));
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           InstallContext context;
                                           context.console.reservePostLog();
                                           EXPECT_EQ(context.console.messages,
                                                     std::vector<std::string>{"kept"});
                                       }),
              0);
}

TEST_F(PostLogTest, QuietRunRewritesOnlyTheOldLines) {
    testsupport::writeFile(root / "flash/postlog", "a\nb\n");
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           InstallContext context;
                                           std::ostringstream console;
                                           context.console.setOutput(console);
                                           context.console.quiet = true;
                                           context.console.reservePostLog();
                                           context.console.reportError("not collected");
                                           context.console.writePostLog();
                                           EXPECT_EQ(console.str(), "");
                                       }),
              0);
    EXPECT_EQ(postLog(), "a\nb\n");
}

TEST_F(PostLogTest, MissingLogIsReservedAndNothingToWriteLeavesNoFile) {
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           InstallContext context;
                                           context.console.writePostLog();
                                           EXPECT_FALSE(testsupport::exists("/flash/postlog"));
                                           context.console.reservePostLog();
                                           EXPECT_TRUE(context.console.messages.empty());
                                           EXPECT_EQ(testsupport::readFile("/flash/postlog"),
                                                     std::string(4096, '\0'));
                                           context.console.writePostLog();
                                       }),
              0);
    EXPECT_TRUE(testsupport::exists(root / "flash/postlog"));
    EXPECT_EQ(postLog(), "") << "a reserved log is rewritten even with no lines";
}

}  // namespace
