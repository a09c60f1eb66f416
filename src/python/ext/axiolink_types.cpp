#include "ext/axiolink_types.hpp"

#include <string>

#include "damiao/driver.hpp"
#include "damiao/modes.hpp"
#include "socketcan_transport.hpp"
#include "types.hpp"

namespace axiolink::python::ext {
namespace {

AxiolinkTypes g_types;

PyResult<PyTypeObject*> take_class(PyObject* module, const char* name, Py_ssize_t payload_size) {
    PyRef found = PyRef::steal(PyObject_GetAttrString(module, name));
    if (!found) {
        return already_set();
    }
    if (!PyType_Check(found.get())) {
        return error_value(PyExc_ImportError, std::string("axiolink.") + name + " is not a class");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    if (type->tp_basicsize != payload_size) {
        return error_value(PyExc_ImportError,
                           std::string("axiolink.") + name +
                               " is not laid out as axiolink_ext expects: rebuild both together");
    }
    return reinterpret_cast<PyTypeObject*>(found.release());  // kept for the process
}

PyResult<void> check_version(PyObject* module) {
    PyRef version = PyRef::steal(PyObject_GetAttrString(module, "__version__"));
    if (!version) {
        return already_set();
    }
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr || std::string(text) != AXIOLINK_VERSION) {
        PyErr_Clear();
        return error_value(PyExc_ImportError,
                           std::string("axiolink_ext " AXIOLINK_VERSION
                                       " needs axiolink " AXIOLINK_VERSION ", found ") +
                               (text != nullptr ? text : "no version"));
    }
    return {};
}

}  // namespace

PyResult<void> load_axiolink_types() {
    if (g_types.damiao != nullptr) {
        return {};
    }
    PyRef module = PyRef::steal(PyImport_ImportModule("axiolink"));
    if (!module) {
        return already_set();
    }
    if (auto checked = check_version(module.get()); !checked) {
        return checked;
    }
    AxiolinkTypes found;
    const struct {
        PyTypeObject** cell;
        const char* name;
        Py_ssize_t size;
    } classes[] = {
        {&found.damiao, "Damiao", sizeof(Wrapper<damiao::Damiao>)},
        {&found.transport, "SocketCanTransport", sizeof(Wrapper<GuardedTransport>)},
        {&found.mit_setpoint, "MitSetpoint", sizeof(Wrapper<damiao::MitSetpoint>)},
        {&found.control_setpoint, "ControlSetpoint", sizeof(Wrapper<damiao::ControlSetpoint>)},
        {&found.motor_state, "MotorState", sizeof(Wrapper<damiao::MotorState>)},
    };
    for (const auto& wanted : classes) {
        auto type = take_class(module.get(), wanted.name, static_cast<Py_ssize_t>(wanted.size));
        if (!type) {
            return std::unexpected(std::move(type.error()));
        }
        *wanted.cell = *type;
    }
    g_types = found;
    return {};
}

const AxiolinkTypes& axiolink_types() noexcept {
    return g_types;
}

PyResult<PyRef> new_motor_state(const damiao::MotorState& state) {
    return as_result(wrap(g_types.motor_state, state));
}

}  // namespace axiolink::python::ext
