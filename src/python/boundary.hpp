#pragma once
// The boundary every Python entry point goes through: a body's Failure is
// raised, and no C++ exception ever unwinds into the interpreter.

#include <Python.h>

#include <exception>

#include "failure.hpp"
#include "support/forced_unwind.hpp"

namespace axiolink::python {

void raise_internal_failure(const char* text) noexcept;

template <auto Body>
struct Entry;

// Slots returning an object: tp_new, methods, getters, repr, functions.
//
// A forced unwind (see support/forced_unwind.hpp) passes through, so `call`
// is not noexcept.
template <class... Args, PyResult<PyRef> (*Body)(Args...)>
struct Entry<Body> {
    static PyObject* call(Args... args) {
        try {
            PyResult<PyRef> result = Body(args...);
            if (result) {
                return result->release();
            }
            raise(result.error());
        } catch (const std::exception& e) {
            raise_internal_failure(e.what());
        } catch (...) {
            if (caught_forced_unwind()) {
                throw;
            }
            raise_internal_failure(nullptr);
        }
        return nullptr;
    }
};

template <auto Body>
constexpr auto entry = &Entry<Body>::call;

// A METH_FASTCALL | METH_KEYWORDS entry as the PyCFunction a PyMethodDef holds.
template <auto Body>
PyCFunction fastcall_entry() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>));
}

}  // namespace axiolink::python
