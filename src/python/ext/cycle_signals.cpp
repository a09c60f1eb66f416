#include "ext/cycle_signals.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "types.hpp"

namespace axiolink::python::ext {
namespace {

// Written at import and in a forked child, read by cycles in any thread.
std::atomic<unsigned long> g_signal_thread{0};

// A forked child goes on in the thread that forked, which the interpreter
// makes its main thread there.
void adopt_forking_thread() noexcept {
    g_signal_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

}  // namespace

PyResult<void> watch_signal_thread() {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    if (!threading) {
        return already_set();
    }
    PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) {
        return already_set();
    }
    PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) {
        return already_set();
    }
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        return already_set();
    }
    g_signal_thread.store(value, std::memory_order_relaxed);
    if (const int failed = pthread_atfork(nullptr, nullptr, adopt_forking_thread); failed != 0) {
        return error_value(PyExc_OSError, transport::system_error_text(failed));
    }
    return {};
}

// How often a flood gives the interpreter a turn: Ctrl-C ends a flooded
// cycle about this soon, for about 1 % of the time spent in the turns.
constexpr std::uint64_t kTurnIntervalNanos = 5'000'000;

CycleSignals::CycleSignals(LockedBuses& buses, PyThreadState*& saved) noexcept
    : buses_(buses),
      saved_(saved),
      handles_signals_(PyThread_get_thread_ident() ==
                       g_signal_thread.load(std::memory_order_relaxed)),
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
