#pragma once
// Argument matching and conversion, shared by every constructor, method and
// function of the module.
//
// Matching fills one borrowed slot per parameter (nullptr when absent) from
// positional and keyword arguments, with the interpreter's usual messages
// ("Damiao.enable() missing 1 required positional argument: 'bus'").
// Conversions then run in declaration order, so the first bad parameter in
// declaration order is reported whatever the order of the call.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "failure.hpp"

namespace axiolink::python {

struct Signature {
    std::string_view function;  // as shown in messages: "Damiao.__new__()"
    std::span<const std::string_view> parameters;
    std::size_t required;  // the leading parameters without a default
};

inline constexpr std::size_t kMaxParameters = 24;

// Borrowed references, one per parameter; nullptr where not given.
struct Arguments {
    std::array<PyObject*, kMaxParameters> slots{};
    PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
};

// Vectorcall form: positional args, then the values of `kwnames`.
PyResult<Arguments> match_arguments(const Signature& signature, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames);
// tp_new form: a tuple and an optional dict.
PyResult<Arguments> match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

// Conversions. `name` is the parameter, used in the "argument '{}': {}" prefix
// that TypeErrors get; other exceptions pass unchanged.
PyResult<float> to_float(PyObject* value, std::string_view name);
PyResult<double> to_double(PyObject* value, std::string_view name);
PyResult<std::uint16_t> to_u16(PyObject* value, std::string_view name);
PyResult<std::uint64_t> to_u64(PyObject* value, std::string_view name);
PyResult<std::string_view> to_str(PyObject* value, std::string_view name);
// The object itself when it is an instance of `type`; otherwise a TypeError
// "argument '{}': '{}' object cannot be converted to '{}'".
PyResult<PyObject*> to_instance(PyObject* value, std::string_view name, PyTypeObject* type,
                                std::string_view type_name);

}  // namespace axiolink::python
