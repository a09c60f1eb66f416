#pragma once
// Python classes MitLimits and MitSetpoint, and the function mit_setpoint.

#include <Python.h>

#include "damiao/mit.hpp"
#include "failure.hpp"

namespace axiolink::python {

PyResult<PyTypeObject*> mit_limits_type();
PyResult<PyTypeObject*> mit_setpoint_type();
// The module function, bound to `module` (its __module__ is the module name).
PyResult<PyRef> new_mit_setpoint_function(PyObject* module);

}  // namespace axiolink::python
