#include "args.hpp"

#include <string>
#include <vector>

#include "support/quoted.hpp"

namespace axiolink::python {
namespace {

using support::quoted;

std::unexpected<Failure> type_error(std::string message) {
    return error_value(PyExc_TypeError, std::move(message));
}

std::unexpected<Failure> too_many_positional(const Signature& signature, std::size_t given) {
    const std::size_t count = signature.parameters.size();
    std::string text(signature.function);
    text += " takes ";
    if (signature.required != count) {
        text += "from " + std::to_string(signature.required) + " to ";
    }
    text += std::to_string(count) + " positional arguments but " + std::to_string(given) +
            (given == 1 ? " was given" : " were given");
    return type_error(std::move(text));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::unexpected<Failure> missing_required(const Signature& signature, const Arguments& matched) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (matched[i] == nullptr) {
            missing.push_back(signature.parameters[i]);
        }
    }
    std::string text(signature.function);
    text += " missing " + std::to_string(missing.size()) + " required positional " +
            (missing.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) {
                text += ',';
            }
            text += i + 1 == missing.size() ? " and " : " ";
        }
        text += quoted(missing[i]);
    }
    return type_error(std::move(text));
}

// A keyword that has no UTF-8 form (a lone surrogate) can name no parameter.
// The interpreter reports it as any other unknown keyword, and so do we: the
// text is formatted by the interpreter, since it holds the surrogate itself.
std::unexpected<Failure> unmatched_unencodable_keyword(const Signature& signature, PyObject* key) {
    if (!PyUnicode_Check(key) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        return already_set();
    }
    PyErr_Clear();
    const std::string function(signature.function);
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function.c_str(),
                 key);
    return already_set();
}

PyResult<void> bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                            Arguments& matched) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        return unmatched_unencodable_keyword(signature, key);
    }
    const std::string_view keyword(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (signature.parameters[i] == keyword) {
            if (matched.slots[i] != nullptr) {
                return type_error(std::string(signature.function) +
                                  " got multiple values for argument " + quoted(keyword));
            }
            matched.slots[i] = value;
            return {};
        }
    }
    return type_error(std::string(signature.function) + " got an unexpected keyword argument " +
                      quoted(keyword));
}

PyResult<Arguments> bind_positional(const Signature& signature, PyObject* const* args,
                                    std::size_t nargs) {
    if (nargs > signature.parameters.size()) {
        return too_many_positional(signature, nargs);
    }
    Arguments matched;
    for (std::size_t i = 0; i < nargs; ++i) {
        matched.slots[i] = args[i];
    }
    return matched;
}

PyResult<Arguments> require_all(const Signature& signature, Arguments matched) {
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (matched[i] == nullptr) {
            return missing_required(signature, matched);
        }
    }
    return matched;
}

// Gives a pending TypeError the "argument '{}': " prefix; anything else stays
// as the interpreter set it.
std::unexpected<Failure> conversion_failed(std::string_view name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return already_set();
    }
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exception.release());
        return already_set();
    }
    PyRef message = PyRef::steal(PyObject_Str(exception.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 == nullptr) {
        return already_set();
    }
    return type_error("argument " + quoted(name) + ": " + utf8);
}

}  // namespace

PyResult<Arguments> match_arguments(const Signature& signature, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    auto matched = bind_positional(signature, args, static_cast<std::size_t>(nargs));
    if (!matched) {
        return matched;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        auto bound =
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], *matched);
        if (!bound) {
            return std::unexpected(std::move(bound.error()));
        }
    }
    return require_all(signature, *matched);
}

PyResult<Arguments> match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
    auto matched = bind_positional(signature, PySequence_Fast_ITEMS(args),
                                   static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
    if (!matched) {
        return matched;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            auto bound = bind_keyword(signature, key, value, *matched);
            if (!bound) {
                return std::unexpected(std::move(bound.error()));
            }
        }
    }
    return require_all(signature, *matched);
}

PyResult<double> to_double(PyObject* value, std::string_view name) {
    if (PyFloat_CheckExact(value)) {
        return PyFloat_AS_DOUBLE(value);
    }
    const double wide = PyFloat_AsDouble(value);
    if (wide == -1.0 && PyErr_Occurred()) {
        return conversion_failed(name);
    }
    return wide;
}

PyResult<float> to_float(PyObject* value, std::string_view name) {
    // Round to nearest, ties to even; beyond the float range gives an infinity.
    return to_double(value, name).transform([](double wide) { return static_cast<float>(wide); });
}

PyResult<std::uint16_t> to_u16(PyObject* value, std::string_view name) {
    const long wide = PyLong_AsLong(value);
    if (wide == -1 && PyErr_Occurred()) {
        return conversion_failed(name);
    }
    if (wide < 0 || wide > 0xFFFF) {
        return error_value(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint16_t>(wide);
}

PyResult<std::uint64_t> to_u64(PyObject* value, std::string_view name) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
        return conversion_failed(name);
    }
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return conversion_failed(name);
    }
    return static_cast<std::uint64_t>(wide);
}

PyResult<std::string_view> to_str(PyObject* value, std::string_view name) {
    if (!PyUnicode_Check(value)) {
        return std::unexpected(to_instance(value, name, &PyUnicode_Type, "PyString").error());
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return conversion_failed(name);
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyResult<PyObject*> to_instance(PyObject* value, std::string_view name, PyTypeObject* type,
                                std::string_view type_name) {
    if (PyObject_TypeCheck(value, type)) {
        return value;
    }
    PyRef given = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    const char* given_name = given ? PyUnicode_AsUTF8(given.get()) : nullptr;
    if (given_name == nullptr) {
        return already_set();
    }
    return type_error("argument " + quoted(name) + ": " + quoted(given_name) +
                      " object cannot be converted to " + quoted(type_name));
}

}  // namespace axiolink::python
