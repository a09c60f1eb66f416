#pragma once
// Python class SocketCanTransport: one open CAN socket behind one lock.

#include <Python.h>

#include <mutex>
#include <utility>

#include "failure.hpp"
#include "transport/socketcan_backend.hpp"
#include "types.hpp"

namespace axiolink::python {

struct GuardedTransport {
    explicit GuardedTransport(transport::SocketCanTransport&& open) noexcept
        : transport(std::move(open)) {}
    std::mutex lock;
    transport::SocketCanTransport transport;
    // The thread state whose call holds `lock`; read and written only with
    // the interpreter lock held.
    PyThreadState* holder = nullptr;
};

PyResult<PyTypeObject*> socketcan_transport_type();

// Runs `operation(transport)` with the bus object's lock held for exactly
// that call, and released whatever it returns or throws. `bus` must be a
// SocketCanTransport object.
//
// Signal handlers run during a reply wait, with the lock held. A handler (or
// a finalizer) that calls a command on the same bus from the same thread
// gets a RuntimeError instead of waiting for itself; a call from another
// thread that finds the lock held waits for it without holding the
// interpreter lock, which the holder may need to finish.
template <class Operation>
auto with_locked_bus(PyObject* bus, Operation&& operation)
    -> decltype(std::forward<Operation>(operation)(std::declval<transport::CanTransport&>())) {
    PyRef keep_alive = PyRef::borrow(bus);
    GuardedTransport& guarded = unwrap<GuardedTransport>(bus);
    PyThreadState* const caller = PyThreadState_Get();
    if (guarded.holder == caller) {
        return error_value(PyExc_RuntimeError,
                           "the bus is busy with an unfinished command of this thread");
    }
    std::unique_lock hold(guarded.lock, std::try_to_lock);
    if (!hold.owns_lock()) {
        Py_BEGIN_ALLOW_THREADS hold.lock();
        Py_END_ALLOW_THREADS
    }
    guarded.holder = caller;
    struct Release {
        GuardedTransport& guarded;
        ~Release() { guarded.holder = nullptr; }
    } release{guarded};
    return std::forward<Operation>(operation)(guarded.transport);
}

}  // namespace axiolink::python
