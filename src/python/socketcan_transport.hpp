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
};

PyResult<PyTypeObject*> socketcan_transport_type();

// Runs `operation(transport)` with the bus object's lock held for exactly
// that call, and released whatever it returns or throws. `bus` must be a
// SocketCanTransport object.
template <class Operation>
auto with_locked_bus(PyObject* bus, Operation&& operation) {
    PyRef keep_alive = PyRef::borrow(bus);
    GuardedTransport& guarded = unwrap<GuardedTransport>(bus);
    std::lock_guard hold(guarded.lock);
    return std::forward<Operation>(operation)(guarded.transport);
}

}  // namespace axiolink::python
