#include <gtest/gtest.h>
#include <sys/times.h>

#include <sstream>

#include "transaction/Spinner.h"

namespace {

// A clock the test sets by hand.
struct FakeClock {
    uint32_t now = 1000;
    Spinner::Clock clock() {
        return [this] { return now; };
    }
};

TEST(Spinner, FirstCharacterStandsAloneThenOneStepPerTwentyTicks) {
    FakeClock time;
    std::ostringstream console;
    Spinner spinner(console, time.clock());
    spinner.step();
    EXPECT_EQ(console.str(), "|");
    time.now += kSpinnerTicks;
    spinner.step();
    spinner.step();
    EXPECT_EQ(console.str(), "|") << "exactly 20 ticks is not yet a step";
    std::string expected = "|";
    for (const char* next : {"/", "-", "\\", "|", "/"}) {
        time.now += kSpinnerTicks + 6;
        spinner.step();
        expected += std::string("\b") + next;
        EXPECT_EQ(console.str(), expected);
    }
}

TEST(Spinner, KeepsAFixedPaceAfterAPause) {
    // Steps advance the spinner's clock by 20 ticks each, not to the present, so
    // after a pause the calls that follow catch up one step at a time.
    FakeClock time;
    std::ostringstream console;
    Spinner spinner(console, time.clock());
    spinner.step();
    time.now += 70;
    for (int i = 0; i < 10; ++i) spinner.step();
    EXPECT_EQ(console.str(), "|\b/\b-\b\\");
}

TEST(Spinner, TickCountIsTheProcessClockOffset) {
    struct tms usage;
    uint32_t before = static_cast<uint32_t>(times(&usage));
    uint32_t ticks = tickCount();
    uint32_t after = static_cast<uint32_t>(times(&usage));
    EXPECT_GE(ticks - 30000, before);
    EXPECT_LE(ticks - 30000, after);
}

}  // namespace
