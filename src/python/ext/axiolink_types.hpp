#pragma once
// The classes of `axiolink` itself, as this module finds them at import.
//
// The companion works on axiolink's own objects and returns axiolink's own
// MotorState objects. Both modules are built from the same sources, so an
// instance's C++ payload has the same layout in both; the import checks the
// version and every class's instance size before anything is trusted.

#include <Python.h>

#include "failure.hpp"

namespace axiolink::python::ext {

struct AxiolinkTypes {
    PyTypeObject* damiao = nullptr;
    PyTypeObject* transport = nullptr;
    PyTypeObject* mit_setpoint = nullptr;
    PyTypeObject* control_setpoint = nullptr;
    PyTypeObject* motor_state = nullptr;
};

// Imports axiolink and takes its classes (kept for the process). ImportError
// when its version is not this module's or a class is not laid out as here.
PyResult<void> load_axiolink_types();
// After a successful load_axiolink_types.
const AxiolinkTypes& axiolink_types() noexcept;

// A new axiolink.MotorState; failing to create it is an internal failure.
PyResult<PyRef> new_motor_state(const damiao::MotorState& state);

}  // namespace axiolink::python::ext
