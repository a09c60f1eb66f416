#include "signal_thread.hpp"

#include <Python.h>
#include <pthread.h>

#include <atomic>

#include "transport/can.hpp"

namespace axiolink::python {
namespace {

// Process-wide, like the interpreter's own signal state: written at import
// and in a forked child, read by waits in any thread.
std::atomic<unsigned long> g_signal_thread{0};

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

bool in_signal_thread() noexcept {
    return PyThread_get_thread_ident() == g_signal_thread.load(std::memory_order_relaxed);
}

}  // namespace axiolink::python
