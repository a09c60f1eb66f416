#include "socketcan_transport.hpp"

#include <pthread.h>

#include <array>
#include <atomic>
#include <csignal>
#include <string>

#include "args.hpp"
#include "boundary.hpp"

namespace axiolink::python {
namespace {

using transport::TransportError;

PyTypeObject* g_type = nullptr;

// Opening can only fail with a system error in practice; the other rows keep
// the mapping total.
std::unexpected<Failure> open_failed(const TransportError& error) {
    switch (error.kind()) {
        case TransportError::Kind::Backend:
            return error_value(PyExc_OSError, transport::system_error_text(error.os_error()));
        case TransportError::Kind::Timeout:
            return error_value(PyExc_OSError, "CAN timeout");
        case TransportError::Kind::FrameTooLarge:
            return error_value(PyExc_ValueError,
                               "oversized frame: " + std::to_string(error.length()) + " bytes");
        case TransportError::Kind::InvalidId:
            break;
    }
    return error_value(PyExc_ValueError, "invalid CAN id");
}

// Process-wide, like the interpreter's own signal state. Written at import
// and in a forked child, read by waits with the interpreter lock held.
std::atomic<unsigned long> g_signal_thread{0};
// A forked child goes on in the thread that forked, which the interpreter
// makes its main thread there.
void adopt_forking_thread() noexcept {
    g_signal_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

// A command waits for its reply with the interpreter lock held, so the
// interpreter cannot run signal handlers meanwhile, and the wait must not
// run them either while it holds the bus. A signal that interrupts the
// read ends the wait, in the thread that runs the handlers: they run once
// the bus is free. Any other thread's wait goes on to its deadline, as no
// handler could run there.
//
// With frames arriving back to back no read is interrupted, so between
// reads PyOS_InterruptOccurred looks at SIGINT's mark, without running any
// Python code (and in the handlers' thread only). It clears the mark, which
// is set again at once, as the signal itself sets it: whoever runs the
// handlers once the bus is free (this module, or another that lent the
// transport) finds it there.
bool signal_ends_wait(bool read_interrupted) noexcept {
    if (read_interrupted) {
        return PyThread_get_thread_ident() == g_signal_thread.load(std::memory_order_relaxed);
    }
    if (PyOS_InterruptOccurred() != 0) {
        (void)PyErr_SetInterruptEx(SIGINT);
        return true;
    }
    return false;
}

constexpr std::array<std::string_view, 1> kParams = {"iface"};
constexpr Signature kSignature{"SocketCanTransport.__new__()", kParams, 1};

PyResult<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto iface = match_arguments(kSignature, args, kwargs).and_then([](const Arguments& matched) {
        return to_str(matched[0], "iface");
    });
    if (!iface) {
        return std::unexpected(std::move(iface.error()));
    }
    auto opened = transport::SocketCanTransport::open(*iface);
    if (!opened) {
        return open_failed(opened.error());
    }
    opened->set_interruption_check(signal_ends_wait);
    // Should the object not be created, `opened` still owns the socket and
    // closes it on the way out.
    return emplace<GuardedTransport>(type, std::move(*opened));
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<GuardedTransport>)},
    {Py_tp_doc, const_cast<char*>("SocketCanTransport(iface)\n--\n\n")},
    {},
};

PyType_Spec kSpec{"axiolink.SocketCanTransport", sizeof(Wrapper<GuardedTransport>), 0, kClassFlags,
                  kSlots};

}  // namespace

PyResult<PyTypeObject*> socketcan_transport_type() {
    // The text signature lives in the internal doc; the class shows no docstring.
    return type_once(g_type, kSpec, set_type_doc_none);
}

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

bool run_deferred_signal_handlers() noexcept {
    return PyErr_CheckSignals() == 0;
}

}  // namespace axiolink::python
