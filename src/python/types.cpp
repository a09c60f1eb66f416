#include "types.hpp"

#include <string>

#include "boundary.hpp"

namespace axiolink::python {

PyResult<PyTypeObject*> type_once(PyTypeObject*& cell, PyType_Spec& type_spec,
                                  PyResult<void> (*finish)(PyTypeObject*)) {
    if (cell != nullptr) {
        return cell;
    }
    PyRef type = PyRef::steal(PyType_FromSpec(&type_spec));
    if (!type) {
        return already_set();
    }
    auto* created = reinterpret_cast<PyTypeObject*>(type.get());
    if (finish != nullptr) {
        if (auto finished = finish(created); !finished) {
            return std::unexpected(std::move(finished.error()));
        }
    }
    cell = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    return cell;
}

PyResult<void> set_type_doc_none(PyTypeObject* type) {
    if (PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) < 0) {
        return already_set();
    }
    PyType_Modified(type);
    return {};
}

namespace {
PyResult<PyRef> refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name = PyRef::steal(PyType_GetName(type));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8 == nullptr) {
        return already_set();
    }
    return error_value(PyExc_TypeError, std::string("No constructor defined for ") + utf8);
}
}  // namespace

PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return entry<refuse_construction>(type, args, kwargs);
}

PyResult<PyRef> as_result(PyResult<PyRef> created) {
    if (!created && std::holds_alternative<ErrorAlreadySet>(created.error())) {
        return result_object(nullptr);
    }
    return created;
}

}  // namespace axiolink::python
