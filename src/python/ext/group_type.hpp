#pragma once
// axiolink_ext.MotorGroup: motors on one or more buses, commanded together.

#include <Python.h>

#include "failure.hpp"

namespace axiolink::python::ext {

PyResult<PyTypeObject*> motor_group_type();

}  // namespace axiolink::python::ext
