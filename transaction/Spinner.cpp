#include "transaction/Spinner.h"

#include <errno.h>
#include <sys/times.h>

#include <utility>

namespace {

constexpr uint32_t kTickOffset = 30000;
constexpr char kSpinnerCharacters[] = "|/-\\";
constexpr uint32_t kSpinnerSteps = 4;
constexpr char kBackspace = 8;

}  // namespace

uint32_t tickCount() {
    struct tms usage;
    clock_t ticks = times(&usage);
    // The error return of the system call is a negated error number; taking it
    // as such keeps the count the kernel produced even where libc reads it as
    // a failure.
    if (ticks == static_cast<clock_t>(-1)) ticks = -static_cast<clock_t>(errno);
    return static_cast<uint32_t>(ticks) + kTickOffset;
}

Spinner::Spinner(std::ostream& out, Clock clock) : out_(out), clock_(std::move(clock)) {}

void Spinner::step() {
    uint32_t now = clock_();
    if (lastTick_ == 0) {
        lastTick_ = now;
        out_ << kSpinnerCharacters[nextIndex_];
        ++nextIndex_;
        out_.flush();
        return;
    }
    if (now - lastTick_ > kSpinnerTicks) {
        // Advancing by a fixed step rather than to now keeps the pace even when
        // chunks arrive irregularly.
        lastTick_ += kSpinnerTicks;
        out_ << kBackspace << kSpinnerCharacters[nextIndex_];
        if (++nextIndex_ == kSpinnerSteps) nextIndex_ = 0;
        out_.flush();
    }
}
