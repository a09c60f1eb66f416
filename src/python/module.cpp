// The import entry: one owning interpreter, one module object per process.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "boundary.hpp"
#include "control_setpoint.hpp"
#include "damiao_type.hpp"
#include "logging_bridge.hpp"
#include "mit_types.hpp"
#include "motor_state.hpp"
#include "socketcan_transport.hpp"

namespace axiolink::python {
namespace {

// From the project's build description, which the package metadata also reads.
constexpr const char* kVersion = AXIOLINK_VERSION;
constexpr int kModuleApiVersion = 1013;
constexpr std::int64_t kNoOwner = -1;

std::atomic<std::int64_t> g_owner{kNoOwner};
PyObject* g_module = nullptr;  // filled once fully initialised; never freed

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "axiolink", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to __all__ (creating the list on first use), then binds it.
PyResult<void> add_attribute(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return already_set();
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return already_set();
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0 ||
        PyObject_SetAttrString(module, name, value) < 0) {
        return already_set();
    }
    return {};
}

PyResult<void> add_class(PyObject* module, PyResult<PyTypeObject*> (*type)()) {
    return type().and_then([module](PyTypeObject* created) -> PyResult<void> {
        PyRef name = PyRef::steal(PyType_GetName(created));
        const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        if (utf8 == nullptr) {
            return already_set();
        }
        return add_attribute(module, utf8, reinterpret_cast<PyObject*>(created));
    });
}

PyResult<void> initialise(PyObject* module) {
    if (auto bridge = install_logging_bridge(); !bridge) {
        return bridge;
    }
    PyRef version = PyRef::steal(PyUnicode_FromString(kVersion));
    if (!version) {
        return already_set();
    }
    if (auto added = add_attribute(module, "__version__", version.get()); !added) {
        return added;
    }
    for (auto type : {mit_limits_type, mit_setpoint_type, control_setpoint_type, motor_state_type,
                      damiao_type, socketcan_transport_type}) {
        if (auto added = add_class(module, type); !added) {
            return added;
        }
    }
    return new_mit_setpoint_function(module).and_then(
        [module](PyRef function) { return add_attribute(module, "mit_setpoint", function.get()); });
}

PyResult<void> claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return already_set();
    }
    std::int64_t owner = kNoOwner;
    if (!g_owner.compare_exchange_strong(owner, id) && owner != id) {
        return error_value(PyExc_ImportError,
                           "axiolink does not support sub-interpreters: it is already loaded in "
                           "another interpreter of this process");
    }
    return {};
}

PyResult<PyRef> import_module() {
    if (auto claimed = claim_interpreter(); !claimed) {
        return std::unexpected(std::move(claimed.error()));
    }
    if (g_module != nullptr) {
        return PyRef::borrow(g_module);
    }
    PyRef module = PyRef::steal(PyModule_Create2(&g_definition, kModuleApiVersion));
    if (!module) {
        return already_set();
    }
    if (auto ready = initialise(module.get()); !ready) {
        return std::unexpected(std::move(ready.error()));
    }
    g_module = PyRef::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace axiolink::python

PyMODINIT_FUNC PyInit_axiolink() {
    return axiolink::python::entry<axiolink::python::import_module>();
}
