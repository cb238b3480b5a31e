#pragma once
// The console spinner turned while a commit copies files across file systems.
#include <cstdint>
#include <functional>
#include <ostream>

constexpr uint32_t kSpinnerTicks = 20;

// Clock ticks from times(), offset so that 0 never occurs in practice.
uint32_t tickCount();

class Spinner {
public:
    using Clock = std::function<uint32_t()>;

    // Draws on out, timed by clock (ticks, 0 never returned).
    explicit Spinner(std::ostream& out, Clock clock = tickCount);

    // The first call draws the first character; later calls advance by at most
    // one step per kSpinnerTicks, successive copies continuing the same turn.
    void step();

private:
    std::ostream& out_;
    Clock clock_;
    uint32_t lastTick_ = 0;  // 0 = not drawn yet
    uint32_t nextIndex_ = 0;
};
