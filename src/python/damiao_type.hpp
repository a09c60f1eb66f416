#pragma once
// Python class Damiao: one motor's driver record and its commands.

#include <Python.h>

#include "failure.hpp"

namespace axiolink::python {

PyResult<PyTypeObject*> damiao_type();

}  // namespace axiolink::python
