#pragma once
// axiolink_ext.MotorError: a RuntimeError that names the motor it is about.
//
// `motor_id` is the motor's CAN id, `text` the driver's one line ("transport
// error: timeout waiting for frame"); str() is "motor 0x01: " + text. A group
// cycle hands these out as values in its results; the register calls raise
// them.

#include <Python.h>

#include <cstdint>
#include <string>

#include "failure.hpp"

namespace axiolink::python::ext {

PyResult<PyObject*> motor_error_type();
// A new, unraised MotorError.
PyResult<PyRef> new_motor_error(std::uint16_t motor_id, const std::string& text);
// Raises a MotorError; always returns the ErrorAlreadySet failure.
std::unexpected<Failure> motor_failure(std::uint16_t motor_id, const std::string& text);

}  // namespace axiolink::python::ext
