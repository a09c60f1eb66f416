#pragma once
// Heap types of the module and the plumbing their instances share.
//
// Every class is final (no Py_TPFLAGS_BASETYPE), immutable
// (Py_TPFLAGS_IMMUTABLETYPE), has no instance __dict__, no weak references,
// takes no part in GC (instances hold plain values only) and compares by
// identity. Type objects are created once per process and kept.

#include <Python.h>

#include <new>
#include <utility>

#include "failure.hpp"

namespace axiolink::python {

inline constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// A Python object holding one C++ value.
template <class T>
struct Wrapper {
    PyObject_HEAD T value;
};

template <class T>
T& unwrap(PyObject* self) noexcept {
    return reinterpret_cast<Wrapper<T>*>(self)->value;
}

// Allocates an instance of `type` and builds its value in place from `args`.
// A failed allocation leaves the interpreter's MemoryError set.
template <class T, class... Args>
PyResult<PyRef> emplace(PyTypeObject* type, Args&&... args) {
    PyRef object = PyRef::steal(type->tp_alloc(type, 0));
    if (!object) {
        return already_set();
    }
    new (&reinterpret_cast<Wrapper<T>*>(object.get())->value) T(std::forward<Args>(args)...);
    return object;
}

template <class T>
PyResult<PyRef> wrap(PyTypeObject* type, T&& value) {
    return emplace<std::remove_cvref_t<T>>(type, std::forward<T>(value));
}

template <class T>
void dealloc(PyObject* self) noexcept {
    unwrap<T>(self).~T();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Builds the type from `type_spec` on first use; later calls return it again.
// `finish` may adjust the fresh type before it is published.
PyResult<PyTypeObject*> type_once(PyTypeObject*& cell, PyType_Spec& type_spec,
                                  PyResult<void> (*finish)(PyTypeObject*) = nullptr);

// Sets a type's __doc__ after creation (immutable types refuse setattr).
PyResult<void> set_type_doc_none(PyTypeObject* type);

// tp_new for classes that Python cannot instantiate:
// TypeError "No constructor defined for MotorState".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// A value handed back to Python failed to be created: an internal failure.
PyResult<PyRef> as_result(PyResult<PyRef> created);

template <class M>
struct MemberTraits;
template <class C, class V>
struct MemberTraits<V C::*> {
    using Class = C;
    using Value = V;
};

// Read-only attribute getters for a member of the wrapped value.
template <auto Member>
PyResult<PyRef> get_float(PyObject* self, void*) {
    using Class = typename MemberTraits<decltype(Member)>::Class;
    return result_object(PyFloat_FromDouble(static_cast<double>(unwrap<Class>(self).*Member)));
}
template <auto Member>
PyResult<PyRef> get_unsigned(PyObject* self, void*) {
    using Class = typename MemberTraits<decltype(Member)>::Class;
    return result_object(PyLong_FromUnsignedLong(unwrap<Class>(self).*Member));
}

}  // namespace axiolink::python
