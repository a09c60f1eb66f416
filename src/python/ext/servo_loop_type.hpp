#pragma once
// axiolink_ext.ServoLoop: a servo loop on a thread of its own, driving a
// MotorGroup; and axiolink_ext.ServoStates, what its states() returns.

#include <Python.h>

#include "failure.hpp"

namespace axiolink::python::ext {

PyResult<PyTypeObject*> servo_loop_type();
// Once per process, before servo_loop_type's objects are used: the states
// type, the fork and interpreter-exit handling.
PyResult<void> prepare_servo_loops();
PyTypeObject* servo_states_type() noexcept;

}  // namespace axiolink::python::ext
