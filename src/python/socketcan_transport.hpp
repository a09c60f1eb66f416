#pragma once
// Python class SocketCanTransport: one open CAN socket behind one lock.

#include <Python.h>

#include <mutex>
#include <utility>

#include "failure.hpp"
#include "transport/shared_bus.hpp"
#include "types.hpp"

namespace axiolink::python {

// The object's payload: the core's shared bus.
using GuardedTransport = transport::SharedBus;

PyResult<PyTypeObject*> socketcan_transport_type();

// Runs `operation(transport)` with the bus object's lock held for exactly
// that call, and released whatever it returns or throws. `bus` must be a
// SocketCanTransport object; `operation` must run no Python code.
//
// The interpreter lock stays held throughout, and nothing here runs Python
// code while the bus is held: no signal handler, no finalizer, no garbage
// collection. So a handler or finalizer can never find its own thread's bus
// busy, and a plain command never waits here for anything but an operation
// that runs without the interpreter lock (a group cycle), which releases
// the bus before taking the interpreter lock back. A signal ends a wait as
// an interrupted read; its handlers run once the bus is free
// (run_deferred_signal_handlers).
template <class Operation>
auto with_locked_bus(PyObject* bus, Operation&& operation)
    -> decltype(std::forward<Operation>(operation)(std::declval<transport::CanTransport&>())) {
    GuardedTransport& guarded = unwrap<GuardedTransport>(bus);
    std::lock_guard hold(guarded.lock);
    return std::forward<Operation>(operation)(guarded.transport);
}

// After a wait that a signal ended (Backend EINTR), with every bus free:
// runs the interpreter's pending signal handlers. False, with the exception
// set, when a handler raised it.
bool run_deferred_signal_handlers() noexcept;

}  // namespace axiolink::python
