// Tests that need the module's C++ side and a live interpreter at once: the
// logging bridge fed by records emitted from C++, and the entry boundary.

#include <Python.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "boundary.hpp"
#include "failure.hpp"
#include "logging_bridge.hpp"
#include "support/log.hpp"

extern "C" PyObject* PyInit_axiolink();

namespace axiolink::python {
namespace {

// An interpreter that can import the module, as an application embeds it.
void start_interpreter() {
    ASSERT_EQ(PyImport_AppendInittab("axiolink", PyInit_axiolink), 0);
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyConfig_SetBytesString(&config, &config.home, AXIOLINK_PYTHON_HOME);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    ASSERT_FALSE(PyStatus_Exception(status)) << status.err_msg;
}

class Interpreter : public ::testing::Environment {
public:
    void SetUp() override {
        start_interpreter();
        ASSERT_EQ(PyRun_SimpleString("import axiolink"), 0);
    }
};

const auto* const kInterpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Runs Python source in __main__; the test fails if it raises.
void run(const char* source) {
    ASSERT_EQ(PyRun_SimpleString(source), 0) << source;
}

std::string eval_text(const char* expression) {
    PyObject* main = PyImport_AddModule("__main__");
    PyRef globals = PyRef::borrow(PyModule_GetDict(main));
    PyRef result =
        PyRef::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
    if (!result) {
        PyErr_Print();
        return "<error>";
    }
    PyRef text = PyRef::steal(PyObject_Str(result.get()));
    return PyUnicode_AsUTF8(text.get());
}

class LoggingBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        run(R"(
import io, logging, sys
captured = []
class Capture(logging.Handler):
    def emit(self, record):
        captured.append((record.name, record.levelno, record.getMessage(), record.pathname,
                         record.lineno))
root = logging.getLogger()
for handler in list(root.handlers):
    root.removeHandler(handler)
root.addHandler(Capture())
root.setLevel(1)
logging.getLogger("a.b.c").setLevel(logging.NOTSET)
)");
    }
};

TEST_F(LoggingBridgeTest, LevelsAndLoggerNames) {
    log::emit(log::Level::Error, "a::b::c", "broken", "driver.cpp", 42);
    log::emit(log::Level::Warn, "a::b::c", "odd");
    log::emit(log::Level::Info, "axiolink", "hello");
    log::emit(log::Level::Debug, "axiolink::damiao::driver", "detail");
    EXPECT_EQ(eval_text("captured"),
              "[('a.b.c', 40, 'broken', 'driver.cpp', 42), ('a.b.c', 30, 'odd', None, 0), "
              "('axiolink', 20, 'hello', None, 0), "
              "('axiolink.damiao.driver', 10, 'detail', None, 0)]");
}

TEST_F(LoggingBridgeTest, TraceNeverReachesPython) {
    EXPECT_EQ(log::max_level(), log::LevelFilter::Debug);
    log::emit(log::Level::Trace, "a::b::c", "too verbose");
    EXPECT_EQ(eval_text("captured"), "[]");
}

TEST_F(LoggingBridgeTest, PythonLevelsDecideWhatIsHandled) {
    run("logging.getLogger('quiet').setLevel(logging.WARNING)");
    log::emit(log::Level::Info, "quiet", "dropped by isEnabledFor");
    log::emit(log::Level::Error, "quiet", "kept");
    EXPECT_EQ(eval_text("[entry[2] for entry in captured]"), "['kept']");
}

TEST_F(LoggingBridgeTest, RaisingHandlerPrintsATracebackAndTheCallerContinues) {
    run(R"(
class Raising(logging.Handler):
    def emit(self, record):
        raise raised
logging.getLogger("boom").addHandler(Raising())
)");
    // SystemExit too: printing it must not end the program that logged.
    for (const char* exception : {"RuntimeError('handler exploded')", "SystemExit(3)"}) {
        SCOPED_TRACE(exception);
        run(("raised = " + std::string(exception) + R"(
captured.clear()
saved_stderr, sys.stderr = sys.stderr, io.StringIO()
)")
                .c_str());
        log::emit(log::Level::Error, "boom", "first");
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        log::emit(log::Level::Warn, "other", "second");
        run("printed, sys.stderr = sys.stderr.getvalue(), saved_stderr");
        EXPECT_EQ(eval_text("printed.startswith('Traceback') and f'{type(raised).__name__}: "
                            "{raised}' in printed or "
                            "printed"),
                  "True");
        EXPECT_EQ(eval_text("[entry[2] for entry in captured]"), "['second']");
    }
    run("logging.getLogger('boom').handlers.clear()");
}

TEST_F(LoggingBridgeTest, RecordsFromAThreadWithoutTheInterpreterLock) {
    PyThreadState* saved = PyEval_SaveThread();
    std::thread([] { log::emit(log::Level::Info, "worker::thread", "from afar"); }).join();
    PyEval_RestoreThread(saved);
    EXPECT_EQ(eval_text("captured"), "[('worker.thread', 20, 'from afar', None, 0)]");
}

// The interpreter's count of allocated memory blocks and, on a debug build,
// its total reference count, after the collector has run.
std::array<long long, 2> live_objects() {
    run("import gc, sys\nfor _ in range(3): gc.collect()");
    return {std::stoll(eval_text("sys.getallocatedblocks()")),
            std::stoll(eval_text("getattr(sys, 'gettotalrefcount', lambda: 0)()"))};
}

// A reference or an object forgotten once per record grows the counts by at
// least the number of records, in every batch of records; caches that the
// first records fill, and the interpreter's own work that comes once (such
// as optimising code that runs often), do not.
TEST_F(LoggingBridgeTest, RecordsLeaveNothingBehindOnAnyPath) {
    // The handler formats each record and keeps nothing: the interpreter
    // keeps up to thousands of freed tuples for reuse, so a handler storing
    // them would make the counts grow with the records.
    run(R"(
class Formatting(logging.Handler):
    def emit(self, record):
        self.format(record)
root.removeHandler(root.handlers[0])
root.addHandler(Formatting())
class Raising(logging.Handler):
    def emit(self, record):
        raise RuntimeError("handler exploded")
logging.getLogger("boom").addHandler(Raising())
logging.getLogger("quiet").setLevel(logging.WARNING)
saved_stderr, sys.stderr = sys.stderr, io.StringIO()
)");
    struct Path {
        const char* name;
        void (*emit)();
    };
    const Path paths[] = {
        {"handled", [] { log::emit(log::Level::Error, "a::b::c", "broken", "driver.cpp", 42); }},
        {"without a file", [] { log::emit(log::Level::Info, "a::b::c", "hello"); }},
        {"refused by isEnabledFor", [] { log::emit(log::Level::Info, "quiet", "dropped"); }},
        {"raising handler", [] { log::emit(log::Level::Error, "boom", "lost"); }},
        {"below the facade's level", [] { log::emit(log::Level::Trace, "a::b::c", "dropped"); }},
    };
    constexpr int kRecords = 100;
    const auto forget_records = [] { run("sys.stderr.seek(0); sys.stderr.truncate()"); };
    for (const Path& path : paths) {
        SCOPED_TRACE(path.name);
        // Enough to fill the interpreter's lists of freed objects kept for
        // reuse, which otherwise grow with the first thousand records.
        for (int i = 0; i < 10 * kRecords; ++i) {
            path.emit();
        }
        forget_records();
        std::array<bool, 2> grows{true, true};
        for (int batch = 0; batch < 3; ++batch) {
            const auto before = live_objects();
            for (int i = 0; i < kRecords; ++i) {
                path.emit();
            }
            forget_records();
            const auto after = live_objects();
            for (std::size_t kind = 0; kind < 2; ++kind) {
                grows[kind] = grows[kind] && after[kind] - before[kind] >= kRecords;
            }
        }
        EXPECT_FALSE(grows[0]) << "memory blocks grew by a record's worth or more in every batch";
        EXPECT_FALSE(grows[1]) << "references grew by one a record or more in every batch";
    }
    run("sys.stderr = saved_stderr\nlogging.getLogger('boom').handlers.clear()");
}

// An application may finalize its interpreter and start a new one; the
// module's objects died with the first, so importing it again must fail
// plainly instead of handing out a module whose attributes are gone.
void import_after_reinitialising() {
    Py_FinalizeEx();
    start_interpreter();
    PyRun_SimpleString(R"(
import sys
try:
    import axiolink
    outcome = "imported, version %r" % (axiolink.__version__,)
except ImportError as error:
    outcome = "ImportError: %s" % error
sys.stderr.write(outcome + "\n")
sys.stderr.flush()
)");
    std::_Exit(0);
}

TEST(Reinitialisation, ImportIntoANewInterpreterIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(import_after_reinitialising(), ::testing::ExitedWithCode(0),
                "ImportError: axiolink cannot be imported again in this process: the "
                "interpreter that first imported it has been finalized");
}

TEST(LoggingBridgeInstall, SecondInstallationIsRefused) {
    auto again = install_logging_bridge();
    ASSERT_FALSE(again.has_value());
    const auto* failure = std::get_if<Panic>(&again.error());
    ASSERT_NE(failure, nullptr);
    EXPECT_TRUE(failure->text.starts_with("Failed to initialize python logging")) << failure->text;
}

// --- the entry boundary ------------------------------------------------------

PyResult<PyRef> throws_logic_error() {
    throw std::logic_error("invariant broken");
}
PyResult<PyRef> throws_something_else() {
    throw 42;
}
PyResult<PyRef> fails_with_value() {
    return error_value(PyExc_ValueError, "bad value");
}
PyResult<PyRef> fails_without_exception() {
    return already_set();
}
PyResult<PyRef> driver_error() {
    return std::unexpected<Failure>(
        dm_err_to_py(damiao::Error::Transport{transport::TransportError::timeout()}));
}

// The pending exception as "TypeName: text", cleared.
std::string take_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return "<none>";
    }
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    return std::string(Py_TYPE(exception.get())->tp_name) + ": " + PyUnicode_AsUTF8(text.get());
}

TEST(Boundary, FailuresBecomeTheRightExceptions) {
    struct Case {
        PyObject* (*entry_point)();
        std::string expected;
    };
    const Case cases[] = {
        {entry<throws_logic_error>, "PanicException: invariant broken"},
        {entry<throws_something_else>, "PanicException: axiolink: internal failure"},
        {entry<fails_with_value>, "ValueError: bad value"},
        {entry<fails_without_exception>, "SystemError: error return without exception set"},
        {entry<driver_error>, "RuntimeError: transport error: timeout waiting for frame"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.entry_point(), nullptr);
        EXPECT_EQ(take_exception(), c.expected);
    }
}

// How the interpreter ends a daemon thread at exit: pthread_exit where the
// thread takes the interpreter lock back, deep inside a call.
PyResult<PyRef> thread_ended_inside() {
    pthread_exit(nullptr);
}

TEST(Boundary, AThreadEndedInsideACallPassesThroughWithoutAnInternalFailure) {
    bool returned = false;
    testing::internal::CaptureStderr();
    std::thread ended([&returned] {
        (void)entry<thread_ended_inside>();
        returned = true;
    });
    ended.join();
    EXPECT_FALSE(returned);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Boundary, PanicExceptionEscapesExceptException) {
    auto* type = reinterpret_cast<PyTypeObject*>(panic_exception_type());
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
    EXPECT_FALSE(PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_Exception)));
    EXPECT_EQ(panic_exception_type(), reinterpret_cast<PyObject*>(type));  // created once
    EXPECT_NE(std::string(type->tp_doc).find("BaseException"), std::string::npos);
    PyRef module =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    EXPECT_STREQ(PyUnicode_AsUTF8(module.get()), "axiolink");
}

TEST(Boundary, DriverErrorsAreRuntimeErrorsWithTheirText) {
    const ErrorValue value = dm_err_to_py(damiao::Error::ModeVerificationFailed{1, 2});
    EXPECT_EQ(value.type, PyExc_RuntimeError);
    EXPECT_EQ(value.message, "control mode verification failed: wrote 1, motor reports 2");
}

}  // namespace
}  // namespace axiolink::python
