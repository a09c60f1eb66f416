#include "failure.hpp"

#include <cstdio>
#include <string>

#include "boundary.hpp"

namespace axiolink::python {
namespace {

constexpr const char* kGenericPanicText = "axiolink: internal failure";

constexpr const char* kPanicDoc =
    "Raised when axiolink's native code fails internally (a broken assumption,\n"
    "not an error reported by a motor or the bus).\n\n"
    "It derives from BaseException rather than Exception, like SystemExit, so\n"
    "that a plain `except Exception:` does not swallow it: an internal failure\n"
    "should reach the top of the program unless it is caught on purpose.";

PyObject* g_panic_type = nullptr;  // lives until the process ends

// "TypeName: message" of the pending exception, which is cleared.
std::string take_pending_exception_text() {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        return "no exception was set";
    }
    PyRef exception = PyRef::steal(pending);
    std::string text = Py_TYPE(pending)->tp_name;
    PyRef message = PyRef::steal(PyObject_Str(pending));
    if (message) {
        if (const char* utf8 = PyUnicode_AsUTF8(message.get())) {
            text += ": ";
            text += utf8;
        }
    }
    PyErr_Clear();
    return text;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("axiolink.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void raise(const Failure& failure) noexcept {
    if (std::holds_alternative<ErrorAlreadySet>(failure)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } else if (const auto* value = std::get_if<ErrorValue>(&failure)) {
        PyErr_SetString(value->type, value->message.c_str());
    } else {
        raise_internal_failure(std::get<Panic>(failure).text.c_str());
    }
}

void raise_internal_failure(const char* text) noexcept {
    if (text == nullptr || *text == '\0') {
        text = kGenericPanicText;
    }
    std::fprintf(stderr, "axiolink: internal failure: %s\n", text);
    if (PyObject* type = panic_exception_type()) {
        PyErr_SetString(type, text);
    }
}

PyResult<PyRef> checked(PyObject* new_reference) noexcept {
    if (new_reference == nullptr) {
        return already_set();
    }
    return PyRef::steal(new_reference);
}

PyResult<PyRef> result_object(PyObject* new_reference) {
    if (new_reference == nullptr) {
        return panic("failed to create a result object: " + take_pending_exception_text());
    }
    return PyRef::steal(new_reference);
}

ErrorValue dm_err_to_py(damiao::Error error) {
    return ErrorValue{PyExc_RuntimeError, error.message()};
}

}  // namespace axiolink::python
