#pragma once
// Python class ControlSetpoint: one setpoint for any of the four control modes.

#include <Python.h>

#include "failure.hpp"

namespace axiolink::python {

PyResult<PyTypeObject*> control_setpoint_type();

}  // namespace axiolink::python
