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
#include "signal_thread.hpp"
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
    if (auto bridge = install_logging_bridge().and_then(watch_signal_thread); !bridge) {
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

// The module object, its types and the logging bridge belong to the
// interpreter that built them. An embedding application may finalize that
// interpreter and start a new one with the same id; the new one has a fresh
// per-interpreter dict, so a mark left there tells the two apart.
constexpr const char* kLoadedMark = "axiolink.loaded";

bool loaded_in_this_interpreter() {
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    return state != nullptr && PyDict_GetItemString(state, kLoadedMark) != nullptr;
}

PyResult<void> mark_loaded_in_this_interpreter() {
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (state == nullptr || PyDict_SetItemString(state, kLoadedMark, Py_True) < 0) {
        return already_set();
    }
    return {};
}

PyResult<PyRef> import_module() {
    if (auto claimed = claim_interpreter(); !claimed) {
        return std::unexpected(std::move(claimed.error()));
    }
    if (g_module != nullptr) {
        if (!loaded_in_this_interpreter()) {
            return error_value(PyExc_ImportError,
                               "axiolink cannot be imported again in this process: the "
                               "interpreter that first imported it has been finalized");
        }
        return PyRef::borrow(g_module);
    }
    PyRef module = PyRef::steal(PyModule_Create2(&g_definition, kModuleApiVersion));
    if (!module) {
        return already_set();
    }
    if (auto ready = initialise(module.get()).and_then(mark_loaded_in_this_interpreter); !ready) {
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
