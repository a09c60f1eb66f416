#pragma once
// How the binding's functions fail, and the one place failures are raised.
//
// Bodies return PyResult<T>; only the entry boundary (boundary.hpp) turns a
// Failure into a raised Python exception. Success paths carry no strings.

#include <Python.h>

#include <expected>
#include <functional>
#include <string>
#include <type_traits>
#include <variant>

#include "damiao/error.hpp"
#include "py_ref.hpp"

namespace axiolink::python {

// The interpreter already has the exception set (a failed C API call).
struct ErrorAlreadySet {};

// An exception to raise: its class and its single argument. The exception
// object itself is created only when it is raised.
struct ErrorValue {
    PyObject* type;  // a borrowed exception class (PyExc_RuntimeError, ...)
    std::string message;
};

// A broken assumption inside the module: raised as PanicException.
struct Panic {
    std::string text;
};

using Failure = std::variant<ErrorAlreadySet, ErrorValue, Panic>;

// std::expected with the chaining this toolchain's library lacks
// (and_then / transform on values and on void).
template <class T>
class [[nodiscard]] PyResult : public std::expected<T, Failure> {
    using Base = std::expected<T, Failure>;

    template <class Self, class F>
    static auto invoke_on(Self&& self, F&& f) {
        if constexpr (std::is_void_v<T>) {
            return std::invoke(std::forward<F>(f));
        } else {
            return std::invoke(std::forward<F>(f), *std::forward<Self>(self));
        }
    }

public:
    using Base::Base;
    PyResult(Base&& base) noexcept(std::is_nothrow_move_constructible_v<Base>)
        : Base(std::move(base)) {}

    // f(value) -> PyResult<U>; a failure passes through untouched.
    template <class F>
    auto and_then(F&& f) && {
        using Next = std::remove_cvref_t<decltype(invoke_on(std::move(*this), std::forward<F>(f)))>;
        if (!this->has_value()) {
            return Next(std::unexpected(std::move(this->error())));
        }
        return invoke_on(std::move(*this), std::forward<F>(f));
    }
    template <class F>
    auto and_then(F&& f) & {
        using Next = std::remove_cvref_t<decltype(invoke_on(*this, std::forward<F>(f)))>;
        if (!this->has_value()) {
            return Next(std::unexpected(this->error()));
        }
        return invoke_on(*this, std::forward<F>(f));
    }

    // f(value) -> U, giving PyResult<U>.
    template <class F>
    auto transform(F&& f) && {
        using U = std::remove_cvref_t<decltype(invoke_on(std::move(*this), std::forward<F>(f)))>;
        if (!this->has_value()) {
            return PyResult<U>(std::unexpected(std::move(this->error())));
        }
        if constexpr (std::is_void_v<U>) {
            invoke_on(std::move(*this), std::forward<F>(f));
            return PyResult<U>();
        } else {
            return PyResult<U>(invoke_on(std::move(*this), std::forward<F>(f)));
        }
    }
};

inline std::unexpected<Failure> already_set() noexcept {
    return std::unexpected<Failure>(ErrorAlreadySet{});
}
inline std::unexpected<Failure> error_value(PyObject* type, std::string message) {
    return std::unexpected<Failure>(ErrorValue{type, std::move(message)});
}
inline std::unexpected<Failure> panic(std::string text) {
    return std::unexpected<Failure>(Panic{std::move(text)});
}

// Raises `failure` in the interpreter. Never fails: if even that cannot be
// done, the interpreter's own error (MemoryError) is what stays set.
void raise(const Failure& failure) noexcept;

// A new reference from the C API, or ErrorAlreadySet when it returned NULL.
PyResult<PyRef> checked(PyObject* new_reference) noexcept;

// A new reference for a value handed back to Python (getter, repr, static
// method, result of a command): failing to create it is an internal failure.
PyResult<PyRef> result_object(PyObject* new_reference);

// A driver error as the exception Python sees: RuntimeError with its text.
// Takes the error by value, so whatever it owns is released here.
ErrorValue dm_err_to_py(damiao::Error error);

// The module's internal-failure exception class, created on first use.
PyObject* panic_exception_type() noexcept;

}  // namespace axiolink::python
