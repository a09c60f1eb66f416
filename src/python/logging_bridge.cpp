#include "logging_bridge.hpp"

#include <memory>
#include <string>

#include "support/forced_unwind.hpp"
#include "support/log.hpp"

namespace axiolink::python {
namespace {

constexpr long python_level(log::Level level) noexcept {
    switch (level) {
        case log::Level::Error:
            return 40;
        case log::Level::Warn:
            return 30;
        case log::Level::Info:
            return 20;
        case log::Level::Debug:
            return 10;
        case log::Level::Trace:
            break;
    }
    return 5;
}

// a::b::c -> a.b.c
std::string logger_name(std::string_view target) {
    std::string name;
    name.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target.compare(i, 2, "::") == 0) {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

PyObject* optional_text(std::optional<std::string_view> text) {
    if (!text) {
        return Py_NewRef(Py_None);
    }
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

class PythonLoggingSink final : public log::Sink {
public:
    explicit PythonLoggingSink(PyRef logging) noexcept : logging_(std::move(logging)) {}

    bool enabled(const log::Metadata& metadata) const noexcept override {
        return log::passes(metadata.level, filter_);
    }

    void log(const log::Record& record) override {
        if (!enabled(record.metadata)) {
            return;
        }
        const PyGILState_STATE gil = PyGILState_Ensure();
        try {
            if (!forward(record)) {
                // A broken handler must not break the operation that logged:
                // its exception is printed and dropped. PyErr_PrintEx would
                // end the process on SystemExit; displaying it does not.
                PyRef raised = PyRef::steal(PyErr_GetRaisedException());
                if (raised) {
                    PyErr_DisplayException(raised.get());
                }
                PyErr_Clear();
            }
        } catch (...) {
            if (caught_forced_unwind()) {
                throw;  // the thread ends here; its thread state is the interpreter's
            }
            PyErr_Clear();  // bad_alloc building a name: the record is lost
        }
        PyGILState_Release(gil);
    }

    void flush() noexcept override {}

private:
    // false with a Python exception set when any logging call raised.
    bool forward(const log::Record& record) const {
        const std::string name = logger_name(record.metadata.target);
        const long level = python_level(record.metadata.level);
        PyRef logger = PyRef::steal(PyObject_CallMethod(
            logging_.get(), "getLogger", "s#", name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!logger) {
            return false;
        }
        PyRef enabled = PyRef::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "l", level));
        if (!enabled) {
            return false;
        }
        const int is_enabled = PyObject_IsTrue(enabled.get());
        if (is_enabled <= 0) {
            return is_enabled == 0;
        }
        PyRef file = PyRef::steal(optional_text(record.file));
        PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
            record.message.data(), static_cast<Py_ssize_t>(record.message.size())));
        PyRef no_args = PyRef::steal(PyTuple_New(0));
        if (!file || !message || !no_args) {
            return false;
        }
        PyRef python_record = PyRef::steal(
            PyObject_CallMethod(logger.get(), "makeRecord", "s#lOkOOO", name.data(),
                                static_cast<Py_ssize_t>(name.size()), level, file.get(),
                                static_cast<unsigned long>(record.line.value_or(0)), message.get(),
                                no_args.get(), Py_None));
        if (!python_record) {
            return false;
        }
        PyRef handled =
            PyRef::steal(PyObject_CallMethod(logger.get(), "handle", "O", python_record.get()));
        return static_cast<bool>(handled);
    }

    PyRef logging_;
    log::LevelFilter filter_ = log::LevelFilter::Debug;
};

std::string pending_error_text() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return "unknown error";
    }
    PyRef text = PyRef::steal(PyObject_Repr(exception.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    return utf8 != nullptr ? utf8 : "unprintable error";
}

}  // namespace

PyResult<void> install_logging_bridge() {
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        return panic("Failed to initialize python logging: " + pending_error_text());
    }
    if (!log::set_sink(std::make_unique<PythonLoggingSink>(std::move(logging)))) {
        return panic(
            "Failed to initialize python logging: a logging sink is already registered in this "
            "process");
    }
    log::set_max_level(log::LevelFilter::Debug);
    return {};
}

}  // namespace axiolink::python
