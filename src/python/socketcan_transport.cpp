#include "socketcan_transport.hpp"

#include <array>
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

// A command waits for its reply with the interpreter lock held, so the
// interpreter cannot run signal handlers itself meanwhile: the wait asks for
// them. A handler that raises (KeyboardInterrupt on Ctrl-C) ends the wait,
// and the command then raises that exception.
bool run_signal_handlers() noexcept {
    return PyErr_CheckSignals() != 0;
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
    opened->set_interruption_check(run_signal_handlers);
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

}  // namespace axiolink::python
