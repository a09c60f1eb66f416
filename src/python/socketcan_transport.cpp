#include "socketcan_transport.hpp"

#include <array>
#include <csignal>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "signal_thread.hpp"

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
        return in_signal_thread();
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

bool run_deferred_signal_handlers() noexcept {
    return PyErr_CheckSignals() == 0;
}

}  // namespace axiolink::python
