#include "ext/cycle_signals.hpp"

#include <cstdint>

#include "signal_thread.hpp"

namespace axiolink::python::ext {

// How often a flood gives the interpreter a turn: Ctrl-C ends a flooded
// cycle about this soon, for about 1 % of the time spent in the turns.
constexpr std::uint64_t kTurnIntervalNanos = 5'000'000;

CycleSignals::CycleSignals(transport::LockedBuses& buses, PyThreadState*& saved) noexcept
    : buses_(buses),
      saved_(saved),
      handles_signals_(in_signal_thread()),
      last_turn_(transport::MonotonicTime::now()) {}

bool CycleSignals::signal_pending(bool interrupted) noexcept {
    if (!handles_signals_) {
        return false;
    }
    if (interrupted) {
        return true;
    }
    const transport::MonotonicTime now = transport::MonotonicTime::now();
    if (now.nanos - last_turn_.nanos < kTurnIntervalNanos) {
        return false;
    }
    last_turn_ = now;
    return true;
}

bool CycleSignals::resume() noexcept {
    buses_.release();
    PyEval_RestoreThread(saved_);
    const bool failed = PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    if (failed) {
        raised_ = true;
        return false;
    }
    buses_.acquire();
    last_turn_ = transport::MonotonicTime::now();
    return true;
}

}  // namespace axiolink::python::ext
