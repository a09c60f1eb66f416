#pragma once
// Signals during a group cycle, which runs without the interpreter lock, by
// the rules of axiolink's plain commands: in a thread that cannot run
// signal handlers a signal does not end the wait; in the thread that runs
// them (the main thread) it does, the handlers run once the buses are free,
// an exception a handler raises is what the call raises, and a handler that
// returns lets the cycle go on to its deadline with the answers it gets.
//
// A signal that interrupts a wait is seen at once. One that comes while the
// cycle reads frames is marked by the interpreter's own handler and seen by
// no wait: with frames arriving back to back (a flood of other traffic) no
// wait is ever interrupted. So while wake-ups bring nothing the cycle waits
// for, the handlers' thread gives the interpreter a turn every few
// milliseconds (buses free, interpreter lock taken, pending handlers run),
// which is what a plain command's check between reads does with the lock it
// holds.

#include <Python.h>

#include "damiao/group.hpp"
#include "transport/shared_bus.hpp"
#include "failure.hpp"
#include "transport/can.hpp"

namespace axiolink::python::ext {

class CycleSignals final : public damiao::SignalPolicy {
public:
    // Call without the interpreter lock; `saved` is this thread's state as
    // PyEval_SaveThread left it, updated when handlers run.
    CycleSignals(transport::LockedBuses& buses, PyThreadState*& saved) noexcept;

    bool signal_pending(bool interrupted) noexcept override;
    bool resume() noexcept override;

    // A handler raised; its exception is set in this thread's state.
    bool raised() const noexcept { return raised_; }

private:
    transport::LockedBuses& buses_;
    PyThreadState*& saved_;
    bool handles_signals_ = false;
    bool raised_ = false;
    transport::MonotonicTime last_turn_{};
};

}  // namespace axiolink::python::ext
