// axiolink_ext: what programs need beyond axiolink's fixed surface, on
// axiolink's own objects. Its name puts it beside axiolink wherever modules
// are listed; it cannot be a submodule, since axiolink is one extension
// module and not a package.

#include <Python.h>

#include "boundary.hpp"
#include "ext/axiolink_types.hpp"
#include "transport/shared_bus.hpp"
#include "ext/cycle_signals.hpp"
#include "ext/group_type.hpp"
#include "ext/motor_error.hpp"
#include "ext/registers.hpp"
#include "ext/servo_loop_type.hpp"
#include "signal_thread.hpp"

namespace axiolink::python::ext {
namespace {

constexpr const char* kDoc =
    "Companion of axiolink: groups of motors commanded in one cycle, register\n"
    "access by name, control-mode switching, and errors that name the motor.\n\n"
    "It works on axiolink's own objects (Damiao, SocketCanTransport,\n"
    "MitSetpoint, ControlSetpoint) and returns axiolink.MotorState objects.";

// No per-module state (0, not -1): a later import in another interpreter
// then calls the entry again, which refuses it, instead of being handed a
// copy of this interpreter's module.
PyModuleDef g_definition{
    PyModuleDef_HEAD_INIT, "axiolink_ext", kDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyResult<void> add(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) {
        return already_set();
    }
    return {};
}

PyResult<PyRef> create() {
    // Checked before axiolink is imported: a sub-interpreter that imported
    // axiolink would become its only interpreter for good, and the main
    // interpreter could never import it again.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        return error_value(PyExc_ImportError,
                           "axiolink_ext does not support sub-interpreters: import it in the "
                           "main interpreter");
    }
    if (auto loaded = load_axiolink_types(); !loaded) {
        return std::unexpected(std::move(loaded.error()));
    }
    static bool fork_handlers = transport::install_fork_handlers();
    if (!fork_handlers) {
        return error_value(PyExc_ImportError, "axiolink_ext: cannot install its fork handlers");
    }
    static bool watching = false;
    if (!watching) {
        if (auto watched = watch_signal_thread(); !watched) {
            return std::unexpected(std::move(watched.error()));
        }
        watching = true;
    }
    g_definition.m_methods = register_functions();
    PyRef module = PyRef::steal(PyModule_Create(&g_definition));
    if (!module) {
        return already_set();
    }
    if (auto prepared = prepare_servo_loops(); !prepared) {
        return std::unexpected(std::move(prepared.error()));
    }
    auto group = motor_group_type();
    auto error = motor_error_type();
    auto servo = servo_loop_type();
    if (!group || !error || !servo) {
        return already_set();
    }
    PyRef version = PyRef::steal(PyUnicode_FromString(AXIOLINK_VERSION));
    if (!version) {
        return already_set();
    }
    PyRef names =
        PyRef::steal(Py_BuildValue("[ssssssss]", "__version__", "MotorGroup", "MotorError",
                                   "ServoLoop", "ServoStates", "read_register", "write_register",
                                   "set_control_mode"));
    if (!names) {
        return already_set();
    }
    auto added =
        add(module.get(), "__version__", version.get())
            .and_then([&] { return add(module.get(), "__all__", names.get()); })
            .and_then([&] {
                return add(module.get(), "MotorGroup", reinterpret_cast<PyObject*>(*group));
            })
            .and_then([&] { return add(module.get(), "MotorError", *error); })
            .and_then([&] {
                return add(module.get(), "ServoLoop", reinterpret_cast<PyObject*>(*servo));
            })
            .and_then([&] {
                return add(module.get(), "ServoStates",
                           reinterpret_cast<PyObject*>(servo_states_type()));
            });
    if (!added) {
        return std::unexpected(std::move(added.error()));
    }
    return module;
}

}  // namespace
}  // namespace axiolink::python::ext

PyMODINIT_FUNC PyInit_axiolink_ext() {
    return axiolink::python::entry<axiolink::python::ext::create>();
}
