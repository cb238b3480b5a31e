#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "driver/InstallContext.h"
#include "support/Sandbox.h"
#include "transaction/FsTransaction.h"

namespace {

// Comfortably more than 20 ticks at 100 ticks per second.
constexpr useconds_t kPastOneStep = 260000;

TEST(Spinner, FirstCharacterStandsAloneThenOneStepPerTwentyTicks) {
    ASSERT_EQ(sysconf(_SC_CLK_TCK), 100);
    // The spinner's state is process-wide: a fresh child starts it anew.
    int status = testsupport::runInChild([] {
        std::ostringstream console;
        InstallContext::instance().setOutput(console);
        spinnerStep();
        EXPECT_EQ(console.str(), "|");
        spinnerStep();
        spinnerStep();
        EXPECT_EQ(console.str(), "|");
        std::string expected = "|";
        for (const char* next : {"/", "-", "\\", "|", "/"}) {
            usleep(kPastOneStep);
            spinnerStep();
            expected += std::string("\b") + next;
            EXPECT_EQ(console.str(), expected);
        }
    });
    EXPECT_EQ(status, 0);
}

TEST(Spinner, KeepsAFixedPaceAfterAPause) {
    // Steps advance the spinner's clock by 20 ticks each, not to the present, so
    // after a pause the calls that follow catch up one step at a time.
    int status = testsupport::runInChild([] {
        std::ostringstream console;
        InstallContext::instance().setOutput(console);
        uint32_t start = tickCount();
        spinnerStep();
        usleep(700000);
        for (int i = 0; i < 10; ++i) spinnerStep();
        uint32_t elapsed = tickCount() - start;
        size_t steps = (console.str().size() - 1) / 2;
        EXPECT_GE(steps, 3u) << console.str();
        EXPECT_LE(steps, elapsed / kSpinnerTicks);
        EXPECT_EQ(console.str().substr(0, 7), "|\b/\b-\b\\");
    });
    EXPECT_EQ(status, 0);
}

TEST(Spinner, TickCountFollowsTheClock) {
    uint32_t before = tickCount();
    usleep(300000);
    uint32_t elapsed = tickCount() - before;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 200u);
}

}  // namespace
