#pragma once
// axiolink_ext.MotorError: a RuntimeError that names the motor it is about.
//
// `motor_id` is the motor's CAN id, `text` the driver's one line ("transport
// error: timeout waiting for frame"), `kind` a word a program can branch on
// ("timeout", ...); str() is "motor 0x01: " + text. A group cycle hands these
// out as values in its results; the register calls raise them.

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "damiao/error.hpp"
#include "failure.hpp"

namespace axiolink::python::ext {

// What went wrong, as one word: "timeout" (no answer by the deadline),
// "interrupted" (a signal ended the wait), "send_failed" (a frame could not
// be sent: a full send queue, a frame the bus cannot carry), "bus_error"
// (the bus failed otherwise), "short_frame", "invalid_limits",
// "unconfirmed" (a group command no answer confirmed), "register" (a
// register refused), "mismatch" (a value or mode read back differs from the
// one written), "motor_fault" and "missed" (a servo loop's reasons to stop).
std::string_view error_kind(const damiao::Error& error) noexcept;

PyResult<PyObject*> motor_error_type();
// A new, unraised MotorError.
PyResult<PyRef> new_motor_error(std::uint16_t motor_id, const std::string& text,
                                std::string_view kind);
PyResult<PyRef> new_motor_error(std::uint16_t motor_id, const damiao::Error& error);
// Raises a MotorError; always returns the ErrorAlreadySet failure.
std::unexpected<Failure> motor_failure(std::uint16_t motor_id, const std::string& text,
                                       std::string_view kind);
std::unexpected<Failure> motor_failure(std::uint16_t motor_id, const damiao::Error& error);

}  // namespace axiolink::python::ext
