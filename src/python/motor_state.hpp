#pragma once
// Python class MotorState: decoded motor feedback, made only by the module.

#include <Python.h>

#include "damiao/mit.hpp"
#include "failure.hpp"

namespace axiolink::python {

PyResult<PyTypeObject*> motor_state_type();
// A new MotorState object; failing to create it is an internal failure.
PyResult<PyRef> new_motor_state(const damiao::MotorState& state);

}  // namespace axiolink::python
