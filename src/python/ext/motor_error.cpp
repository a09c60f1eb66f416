#include "ext/motor_error.hpp"

#include <array>
#include <cstdio>

namespace axiolink::python::ext {
namespace {

PyObject* g_type = nullptr;

constexpr const char* kDoc =
    "A motor command failed: the motor's CAN id and the failure's text.\n\n"
    "Attributes:\n"
    "    motor_id: the CAN id of the motor that failed.\n"
    "    text: what failed, e.g. 'transport error: timeout waiting for frame'.\n\n"
    "str() shows both: 'motor 0x01: transport error: timeout waiting for frame'.\n"
    "A MotorGroup cycle returns these in place of the states that did not come,\n"
    "without raising them; the register calls raise them.";

}  // namespace

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

PyResult<PyRef> new_motor_error(std::uint16_t motor_id, const std::string& text) {
    auto type = motor_error_type();
    if (!type) {
        return std::unexpected(std::move(type.error()));
    }
    std::array<char, 16> id{};
    std::snprintf(id.data(), id.size(), "0x%02X", static_cast<unsigned>(motor_id));
    const std::string message = "motor " + std::string(id.data()) + ": " + text;
    PyRef error = PyRef::steal(PyObject_CallFunction(*type, "s", message.c_str()));
    PyRef number = PyRef::steal(PyLong_FromUnsignedLong(motor_id));
    PyRef line = PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!error || !number || !line ||
        PyObject_SetAttrString(error.get(), "motor_id", number.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "text", line.get()) < 0) {
        return already_set();
    }
    return error;
}

std::unexpected<Failure> motor_failure(std::uint16_t motor_id, const std::string& text) {
    auto error = new_motor_error(motor_id, text);
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error->get())), error->get());
    }
    return already_set();
}

}  // namespace axiolink::python::ext
