#include "ext/motor_error.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <variant>

#include "support/number_text.hpp"

namespace axiolink::python::ext {
namespace {

PyObject* g_type = nullptr;

constexpr const char* kDoc =
    "A motor command failed: the motor's CAN id and the failure's text.\n\n"
    "Attributes:\n"
    "    motor_id: the CAN id of the motor that failed.\n"
    "    text: what failed, e.g. 'transport error: timeout waiting for frame'.\n"
    "    kind: the same as one word to branch on: 'timeout', 'interrupted',\n"
    "        'send_failed', 'bus_error', 'short_frame', 'invalid_limits',\n"
    "        'unconfirmed', 'register', 'mismatch', 'motor_fault', 'missed'.\n\n"
    "str() shows motor and text: 'motor 0x01: transport error: timeout waiting\n"
    "for frame'. A MotorGroup cycle returns these in place of the states that\n"
    "did not come, without raising them; the register calls raise them.";

using damiao::Error;
using transport::TransportError;

std::string_view transport_kind(const TransportError& error) noexcept {
    switch (error.kind()) {
        case TransportError::Kind::Timeout:
            return "timeout";
        case TransportError::Kind::FrameTooLarge:
        case TransportError::Kind::InvalidId:
            return "send_failed";
        case TransportError::Kind::Backend:
            break;
    }
    switch (error.os_error()) {
        case EINTR:
            return "interrupted";
        case ENOBUFS:
        case EAGAIN:
            return "send_failed";
        default:
            return "bus_error";
    }
}

struct KindOf {
    std::string_view operator()(const Error::Transport& e) const noexcept {
        return transport_kind(e.error);
    }
    std::string_view operator()(const Error::ShortFeedback&) const noexcept {
        return "short_frame";
    }
    std::string_view operator()(const Error::InvalidLimits&) const noexcept {
        return "invalid_limits";
    }
    std::string_view operator()(const Error::Unconfirmed&) const noexcept { return "unconfirmed"; }
    std::string_view operator()(const Error::ModeVerificationFailed&) const noexcept {
        return "mismatch";
    }
    std::string_view operator()(const auto&) const noexcept { return "register"; }
};

}  // namespace

std::string_view error_kind(const damiao::Error& error) noexcept {
    return std::visit(KindOf{}, error.detail());
}

PyResult<PyObject*> motor_error_type() {
    if (g_type == nullptr) {
        g_type =
            PyErr_NewExceptionWithDoc("axiolink_ext.MotorError", kDoc, PyExc_RuntimeError, nullptr);
        if (g_type == nullptr) {
            return already_set();
        }
    }
    return g_type;
}

PyResult<PyRef> new_motor_error(std::uint16_t motor_id, const std::string& text,
                                std::string_view kind) {
    auto type = motor_error_type();
    if (!type) {
        return std::unexpected(std::move(type.error()));
    }
    const std::string message = "motor " + support::motor_id_text(motor_id) + ": " + text;
    PyRef error = PyRef::steal(PyObject_CallFunction(*type, "s", message.c_str()));
    PyRef number = PyRef::steal(PyLong_FromUnsignedLong(motor_id));
    PyRef line = PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyRef word = PyRef::steal(
        PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
    if (!error || !number || !line || !word ||
        PyObject_SetAttrString(error.get(), "motor_id", number.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "text", line.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "kind", word.get()) < 0) {
        return already_set();
    }
    return error;
}

PyResult<PyRef> new_motor_error(std::uint16_t motor_id, const damiao::Error& error) {
    return new_motor_error(motor_id, error.message(), error_kind(error));
}

std::unexpected<Failure> motor_failure(std::uint16_t motor_id, const std::string& text,
                                       std::string_view kind) {
    auto error = new_motor_error(motor_id, text, kind);
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error->get())), error->get());
    }
    return already_set();
}

std::unexpected<Failure> motor_failure(std::uint16_t motor_id, const damiao::Error& error) {
    return motor_failure(motor_id, error.message(), error_kind(error));
}

}  // namespace axiolink::python::ext
