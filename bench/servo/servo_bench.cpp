// servo_bench: does a control loop keep its period while the Python
// interpreter of the same process runs hostile workloads?
//
// For each workload and rate it runs, in this one process with an embedded
// interpreter and 7 motors on simulated timed wires (simulated_bus_set.hpp):
//   native  control::ServoLoop on its own thread (SCHED_FIFO when permitted),
//           the workload on the main thread, a Python thread feeding targets;
//   python  the best loop written in Python (servo_cases.python_loop): sleep
//           to an absolute deadline, one group cycle per period through
//           servo_bench.cycle, which releases the interpreter lock for the
//           cycle as axiolink_ext.MotorGroup.cycle does; the workload in
//           another Python thread.
// Both are measured the same way: each cycle's start against its deadline
// (period error), and periods whose cycle could not start before the next
// period began (missed). One line of JSON per case on stdout.
//
// usage: servo_bench [--seconds S] [--rates 500,1000] [--workloads none,gc,sort,threads]
//                    [--python-seconds S] [--loops native,python] [--priority P]
//                    [--buses-at RATE:N,...]
//                    [--adapter-us U] [--cases FILE]

#include <Python.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "control/latency_histogram.hpp"
#include "control/servo_loop.hpp"
#include "failure.hpp"
#include "mit_types.hpp"
#include "motor_state.hpp"
#include "servo/simulated_bus_set.hpp"
#include "types.hpp"

extern "C" PyObject* PyInit_axiolink();

namespace {

using namespace axiolink;
using control::LatencyHistogram;
using python::PyRef;
using transport::Duration;
using transport::MonotonicTime;

constexpr std::size_t kMotors = 7;
constexpr double kKp = 5.0;
constexpr double kKd = 0.5;
// Generous for a cycle of under 2 ms: only a machine that stalls the loop
// for this long makes an answer count as missing.
const Duration kCycleTimeout = Duration::from_millis(10);

// --- the wire and the loop of the case under way -----------------------------

struct Lease final : control::ServoLoop::BusLease {
    std::mutex lock;
    void acquire() noexcept override { lock.lock(); }
    void release() noexcept override { lock.unlock(); }
};

struct Case {
    std::unique_ptr<bench::SimulatedBusSet> buses;
    std::unique_ptr<damiao::MotorGroup> group;
    Lease lease;
    control::ServoLoop* loop = nullptr;
    // The Python loop's figures, recorded as ServoLoop records its own.
    std::int64_t period_ns = 0;
    LatencyHistogram period_error;
    LatencyHistogram cycle_time;
    std::uint64_t cycles = 0;
    std::uint64_t missed = 0;
    std::uint64_t overruns = 0;
    std::uint64_t failed_answers = 0;
};

Case* g_case = nullptr;

// --- the module servo_bench ----------------------------------------------------

// cycle(setpoints, deadline): one group cycle of 7 MitSetpoints, the
// interpreter lock released; `deadline` (time.monotonic() seconds) is when
// the cycle should have started. Returns a MotorState, or None, per motor.
PyObject* cycle(PyObject*, PyObject* args) {
    PyObject* sequence_arg = nullptr;
    double deadline = 0.0;
    if (g_case == nullptr || g_case->group == nullptr ||
        !PyArg_ParseTuple(args, "Od", &sequence_arg, &deadline)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "no case under way");
        }
        return nullptr;
    }
    const auto setpoint_type = python::mit_setpoint_type();
    PyRef sequence = PyRef::steal(PySequence_Fast(sequence_arg, "setpoints: expected a sequence"));
    if (!setpoint_type || !sequence) {
        return nullptr;
    }
    if (PySequence_Fast_GET_SIZE(sequence.get()) != static_cast<Py_ssize_t>(kMotors)) {
        PyErr_SetString(PyExc_ValueError, "setpoints: expected 7");
        return nullptr;
    }
    std::array<damiao::ControlSetpoint, kMotors> commands;
    for (std::size_t i = 0; i < kMotors; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i));
        if (!PyObject_TypeCheck(item, *setpoint_type)) {
            PyErr_SetString(PyExc_TypeError, "setpoints: expected MitSetpoint");
            return nullptr;
        }
        commands[i] = python::unwrap<damiao::MitSetpoint>(item);
    }
    Case& current = *g_case;
    std::array<damiao::Result<damiao::MotorState>, kMotors> results;
    std::array<MonotonicTime, kMotors> received{};
    std::array<std::uint32_t, kMotors> late{};
    const auto due = static_cast<std::int64_t>(std::llround(deadline * 1e9));
    PyThreadState* saved = PyEval_SaveThread();
    current.lease.acquire();
    const auto started = static_cast<std::int64_t>(MonotonicTime::now().nanos);
    const std::int64_t lateness = std::max<std::int64_t>(0, started - due);
    current.period_error.record(static_cast<std::uint64_t>(lateness));
    current.missed += static_cast<std::uint64_t>(lateness / current.period_ns);
    current.group->cycle(*current.buses, commands, results, {received, late});
    const std::uint64_t took = MonotonicTime::now().nanos - static_cast<std::uint64_t>(started);
    current.cycle_time.record(took);
    current.overruns += took > static_cast<std::uint64_t>(current.period_ns) ? 1 : 0;
    ++current.cycles;
    current.lease.release();
    PyEval_RestoreThread(saved);
    PyRef out = PyRef::steal(PyTuple_New(kMotors));
    if (!out) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kMotors; ++i) {
        PyObject* item = Py_None;
        if (results[i]) {
            auto state = python::new_motor_state(*results[i]);
            if (!state) {
                return nullptr;
            }
            item = state->release();
        } else {
            ++current.failed_answers;
            Py_INCREF(Py_None);
        }
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

// set_targets(q): hands the native loop a position per motor.
PyObject* set_targets(PyObject*, PyObject* arg) {
    PyRef sequence = PyRef::steal(PySequence_Fast(arg, "q: expected a sequence"));
    if (!sequence) {
        return nullptr;
    }
    if (g_case == nullptr || g_case->loop == nullptr ||
        PySequence_Fast_GET_SIZE(sequence.get()) != static_cast<Py_ssize_t>(kMotors)) {
        PyErr_SetString(PyExc_ValueError, "q: expected 7, with a native loop running");
        return nullptr;
    }
    std::array<control::JointTarget, kMotors> targets;
    for (std::size_t i = 0; i < kMotors; ++i) {
        const double q =
            PyFloat_AsDouble(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i)));
        if (q == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
        targets[i] = {q, 0.0, 0.0, kKp, kKd};
    }
    return PyBool_FromLong(g_case->loop->set_targets(targets) ? 1 : 0);
}

// states(): the native loop's latest position per motor.
PyObject* states(PyObject*, PyObject*) {
    if (g_case == nullptr || g_case->loop == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no native loop running");
        return nullptr;
    }
    std::array<control::JointReading, kMotors> readings;
    g_case->loop->read_states(readings);
    PyRef out = PyRef::steal(PyTuple_New(kMotors));
    if (!out) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kMotors; ++i) {
        PyObject* q = PyFloat_FromDouble(readings[i].q);
        if (q == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), q);
    }
    return out.release();
}

PyMethodDef kMethods[] = {
    {"cycle", cycle, METH_VARARGS, "cycle(setpoints, deadline): one group cycle"},
    {"set_targets", set_targets, METH_O, "set_targets(q): the native loop's targets"},
    {"states", states, METH_NOARGS, "states(): the native loop's latest positions"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "servo_bench",
                       nullptr,
                       -1,
                       kMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

extern "C" PyObject* init_servo_bench() {
    return PyModule_Create(&kModule);
}

// --- the program ---------------------------------------------------------------

struct Options {
    double seconds = 5.0;
    double python_seconds = 0.0;  // 0: as long as the native loop's
    std::vector<double> rates{500.0, 1000.0};
    std::vector<std::string> workloads{"none", "gc", "sort", "threads"};
    std::vector<std::string> loops{"native", "python"};
    int priority = 80;
    std::map<long, std::size_t> buses_at{{500, 1}, {1000, 3}};
    double adapter_us = 0.0;
    std::string cases = SERVO_CASES_PY;
};

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> parts;
    std::stringstream in{std::string(text)};
    for (std::string part; std::getline(in, part, ',');) {
        parts.push_back(part);
    }
    return parts;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--seconds") {
            options.seconds = std::stod(value);
        } else if (name == "--python-seconds") {
            options.python_seconds = std::stod(value);
        } else if (name == "--rates") {
            options.rates.clear();
            for (const auto& rate : split(value)) {
                options.rates.push_back(std::stod(rate));
            }
        } else if (name == "--workloads") {
            options.workloads = split(value);
        } else if (name == "--loops") {
            options.loops = split(value);
        } else if (name == "--priority") {
            options.priority = std::stoi(value);
        } else if (name == "--buses-at") {
            for (const auto& pair : split(value)) {
                const auto colon = pair.find(':');
                options.buses_at[std::stol(pair.substr(0, colon))] =
                    std::stoul(pair.substr(colon + 1));
            }
        } else if (name == "--adapter-us") {
            options.adapter_us = std::stod(value);
        } else if (name == "--cases") {
            options.cases = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            std::exit(2);
        }
    }
    if (options.python_seconds <= 0.0) {
        options.python_seconds = options.seconds;
    }
    return options;
}

std::size_t buses_for(const Options& options, double rate) {
    const auto found = options.buses_at.find(std::lround(rate));
    return found != options.buses_at.end() ? found->second : 1;
}

std::string percentiles_json(const std::array<std::uint64_t, 4>& ns) {
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(),
                  "{\"p50\": %.1f, \"p99\": %.1f, \"p99.9\": %.1f, \"max\": %.1f}",
                  static_cast<double>(ns[0]) / 1e3, static_cast<double>(ns[1]) / 1e3,
                  static_cast<double>(ns[2]) / 1e3, static_cast<double>(ns[3]) / 1e3);
    return text.data();
}

std::array<std::uint64_t, 4> percentiles(const LatencyHistogram& histogram) {
    return {histogram.percentile(0.5), histogram.percentile(0.99), histogram.percentile(0.999),
            histogram.max()};
}

// Calls servo_cases.<function>(*args) and returns what it returns as JSON
// (a flat dict of numbers and booleans), or nullopt after printing the error.
std::optional<std::string> call_case(PyObject* cases, const char* function, PyObject* args) {
    PyRef result = PyRef::steal(
        PyObject_CallObject(PyRef::steal(PyObject_GetAttrString(cases, function)).get(), args));
    Py_XDECREF(args);
    if (!result) {
        PyErr_Print();
        return std::nullopt;
    }
    PyRef json = PyRef::steal(PyImport_ImportModule("json"));
    PyRef text = PyRef::steal(PyObject_CallMethod(json.get(), "dumps", "O", result.get()));
    if (!text) {
        PyErr_Print();
        return std::nullopt;
    }
    return std::string(PyUnicode_AsUTF8(text.get()));
}

bench::SimulatedWires wires_for(const Options& options, double rate) {
    bench::SimulatedWires wires;
    wires.buses = buses_for(options, rate);
    wires.motors = kMotors;
    wires.adapter_latency_nanos =
        static_cast<std::uint64_t>(std::llround(options.adapter_us * 1e3));
    return wires;
}

void print_case(const char* loop, const std::string& workload, double rate, double seconds,
                const Options& options, std::size_t buses, std::uint64_t cycles,
                std::uint64_t missed, std::uint64_t overruns,
                const std::array<std::uint64_t, 4>& period_error,
                const std::array<std::uint64_t, 4>& cycle_time, bool scheduled,
                std::uint64_t failed_answers, const std::string& python_side) {
    std::printf(
        "{\"loop\": \"%s\", \"workload\": \"%s\", \"rate_hz\": %.0f, \"seconds\": %.1f, "
        "\"buses\": %zu, \"adapter_latency_us\": %.0f, \"cycles\": %llu, \"missed\": %llu, "
        "\"overruns\": %llu, "
        "\"period_error_us\": %s, \"cycle_us\": %s, \"scheduled\": %s, \"failed_answers\": %llu, "
        "\"python\": %s}\n",
        loop, workload.c_str(), rate, seconds, buses, options.adapter_us,
        static_cast<unsigned long long>(cycles), static_cast<unsigned long long>(missed),
        static_cast<unsigned long long>(overruns), percentiles_json(period_error).c_str(),
        percentiles_json(cycle_time).c_str(), scheduled ? "true" : "false",
        static_cast<unsigned long long>(failed_answers), python_side.c_str());
    std::fflush(stdout);
}

bool run_native(PyObject* cases, const std::string& workload, double rate, const Options& options) {
    Case current;
    current.buses = std::make_unique<bench::SimulatedBusSet>(wires_for(options, rate));
    current.group = std::make_unique<damiao::MotorGroup>(current.buses->group(kCycleTimeout));
    control::ServoSettings settings;
    settings.rate_hz = rate;
    settings.kp = kKp;
    settings.kd = kKd;
    settings.priority = options.priority;
    // A loop stopped by a stall of the machine would end its case early;
    // answers that did not come are counted instead.
    settings.max_misses = 1000;
    settings.check_mode = false;  // the simulated motors answer commands only
    auto loop = control::ServoLoop::start(*current.group, *current.buses, current.lease, settings);
    if (!loop) {
        std::fprintf(stderr, "the loop did not start\n");
        return false;
    }
    current.loop = loop->get();
    g_case = &current;
    const auto python_side = call_case(cases, "run_native_case",
                                       Py_BuildValue("(sd)", workload.c_str(), options.seconds));
    g_case = nullptr;
    const control::ServoStats stats = (*loop)->stats();
    const bool scheduled = (*loop)->real_time().scheduled;
    const bool running = (*loop)->running();
    (*loop)->stop();
    if (!running) {
        std::fprintf(stderr, "the loop stopped early: %s\n",
                     (*loop)->stop_reason().message().c_str());
    }
    std::uint64_t failed = 0;
    for (const auto& joint : stats.joints) {
        failed += joint.misses;
    }
    if (!python_side) {
        return false;
    }
    print_case("native", workload, rate, options.seconds, options, current.buses->size(),
               stats.cycles, stats.late_periods, stats.overruns, stats.period_error_ns,
               stats.cycle_ns, scheduled, failed, *python_side);
    return running;
}

bool run_python(PyObject* cases, const std::string& workload, double rate, const Options& options) {
    Case current;
    current.buses = std::make_unique<bench::SimulatedBusSet>(wires_for(options, rate));
    current.group = std::make_unique<damiao::MotorGroup>(current.buses->group(kCycleTimeout));
    current.period_ns = std::llround(1e9 / rate);
    std::array<damiao::Result<damiao::MotorState>, kMotors> results;
    current.group->command(*current.buses, damiao::GroupCommand::Enable, results);
    g_case = &current;
    const auto python_side = call_case(
        cases, "run_python_loop_case",
        Py_BuildValue("(sddi)", workload.c_str(), rate, options.python_seconds, options.priority));
    g_case = nullptr;
    current.group->command(*current.buses, damiao::GroupCommand::Disable, results);
    if (!python_side) {
        return false;
    }
    const bool scheduled = python_side->find("\"scheduled\": true") != std::string::npos;
    print_case("python", workload, rate, options.python_seconds, options, current.buses->size(),
               current.cycles, current.missed, current.overruns, percentiles(current.period_error),
               percentiles(current.cycle_time), scheduled, current.failed_answers, *python_side);
    return true;
}

bool start_interpreter() {
    if (PyImport_AppendInittab("axiolink", PyInit_axiolink) != 0 ||
        PyImport_AppendInittab("servo_bench", init_servo_bench) != 0) {
        return false;
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyConfig_SetBytesString(&config, &config.home, SERVO_PYTHON_HOME);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        std::fprintf(stderr, "cannot start the interpreter: %s\n", status.err_msg);
        return false;
    }
    return true;
}

// Imports servo_cases.py from where it lies.
PyRef import_cases(const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    PyObject* sys_path = PySys_GetObject("path");
    PyRef entry = PyRef::steal(PyUnicode_FromString(folder.c_str()));
    if (sys_path == nullptr || !entry || PyList_Insert(sys_path, 0, entry.get()) < 0) {
        return {};
    }
    PyRef cases = PyRef::steal(PyImport_ImportModule("servo_cases"));
    if (!cases) {
        PyErr_Print();
    }
    return cases;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    // What is mapped now stays resident, as cyclictest -m does, for both
    // loops alike; the workloads' later allocations are not held to it.
    const bool locked = ::mlockall(MCL_CURRENT | MCL_ONFAULT) == 0;
    std::fprintf(stderr, "memory %s\n", locked ? "locked" : "not locked");
    if (!start_interpreter()) {
        return 1;
    }
    PyRef cases = import_cases(options.cases);
    if (!cases) {
        return 1;
    }
    bool all = true;
    for (const std::string& workload : options.workloads) {
        for (const double rate : options.rates) {
            for (const std::string& loop : options.loops) {
                std::fprintf(stderr, "%s loop, %s, %.0f Hz, %.0f s\n", loop.c_str(),
                             workload.c_str(), rate,
                             loop == "native" ? options.seconds : options.python_seconds);
                const bool ok = loop == "native" ? run_native(cases.get(), workload, rate, options)
                                                 : run_python(cases.get(), workload, rate, options);
                all = all && ok;
            }
        }
    }
    cases = PyRef();
    return Py_FinalizeEx() < 0 || !all ? 1 : 0;
}
