// When a group cycle gives the interpreter its turn: in the thread that runs
// signal handlers, at once after an interrupted wait, and otherwise once per
// turn interval of wake-ups that brought no answer; never in another thread.
#include "ext/cycle_signals.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace axiolink::python::ext {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTurnInterval = std::chrono::milliseconds(5);

TEST(CycleSignals, TheMainThreadGetsATurnPerIntervalOfWakeUpsAndAfterEverySignal) {
    transport::LockedBuses buses(std::span<transport::SharedBus* const>{}, false);
    PyThreadState* saved = PyEval_SaveThread();
    {
        const auto made = Clock::now();
        CycleSignals signals(buses, saved);
        const bool early = signals.signal_pending(false);
        // A machine that stalled the test past the interval proves nothing.
        if (Clock::now() - made < kTurnInterval) {
            EXPECT_FALSE(early);
        }
        EXPECT_TRUE(signals.signal_pending(true));
        std::this_thread::sleep_for(kTurnInterval + std::chrono::milliseconds(1));
        EXPECT_TRUE(signals.signal_pending(false));
        const auto turned = Clock::now();
        const bool again = signals.signal_pending(false);
        if (Clock::now() - turned < kTurnInterval) {
            EXPECT_FALSE(again);
        }
    }
    std::thread([&buses, &saved] {
        CycleSignals elsewhere(buses, saved);
        EXPECT_FALSE(elsewhere.signal_pending(true));
        std::this_thread::sleep_for(kTurnInterval + std::chrono::milliseconds(1));
        EXPECT_FALSE(elsewhere.signal_pending(false));
    }).join();
    PyEval_RestoreThread(saved);
}

}  // namespace
}  // namespace axiolink::python::ext
