#include <errno.h>
#include <sys/times.h>

#include <ostream>

#include "driver/InstallContext.h"
#include "transaction/FsTransaction.h"

namespace {

constexpr uint32_t kTickOffset = 30000;
constexpr char kSpinnerCharacters[] = "|/-\\";
constexpr uint32_t kSpinnerSteps = 4;
constexpr char kBackspace = 8;

// One spinner per process: successive copies continue the same turn.
uint32_t lastSpinnerTick = 0;  // 0 = the spinner has not been drawn yet
uint32_t nextSpinnerIndex = 0;

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

void spinnerStep() {
    uint32_t now = tickCount();
    std::ostream& out = InstallContext::instance().out();
    if (lastSpinnerTick == 0) {
        lastSpinnerTick = now;
        out << kSpinnerCharacters[nextSpinnerIndex];
        ++nextSpinnerIndex;
        out.flush();
        return;
    }
    if (now - lastSpinnerTick > kSpinnerTicks) {
        // Advancing by a fixed step rather than to now keeps the pace even when
        // chunks arrive irregularly.
        lastSpinnerTick += kSpinnerTicks;
        out << kBackspace << kSpinnerCharacters[nextSpinnerIndex];
        if (++nextSpinnerIndex == kSpinnerSteps) nextSpinnerIndex = 0;
        out.flush();
    }
}
