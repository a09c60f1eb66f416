#include "ext/servo_loop_type.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "control/servo_loop.hpp"
#include "ext/axiolink_types.hpp"
#include "ext/group_type.hpp"
#include "ext/motor_error.hpp"
#include "socketcan_transport.hpp"
#include "support/number_text.hpp"
#include "transport/shared_bus.hpp"
#include "transport/socketcan_bus_set.hpp"
#include "types.hpp"

namespace axiolink::python::ext {
namespace {

using control::JointTarget;
using control::ServoLoop;
using control::ServoSettings;
using control::StopReason;

PyTypeObject* g_type = nullptr;
PyTypeObject* g_states_type = nullptr;
PyObject* g_array_type = nullptr;  // array.array, kept for the process

struct PyServoLoop {
    PyRef group;                        // the axiolink_ext.MotorGroup
    std::unique_ptr<ServoLoop> loop;    // made with the object; started by start()
    std::vector<JointTarget> last_set;  // the targets handed over last, for the fields not given
};

const PyMotorGroup& group_of(const PyServoLoop& self) {
    return unwrap<PyMotorGroup>(self.group.get());
}

using Phase = ServoLoop::Phase;

// Started in this process (the thread may have ended by itself since).
bool runs_here(const PyServoLoop& self) {
    const Phase phase = self.loop->phase();
    return phase == Phase::Running || phase == Phase::Stopping || phase == Phase::Stopped;
}

bool not_started(const PyServoLoop& self) {
    const Phase phase = self.loop->phase();
    return phase == Phase::Idle || phase == Phase::Starting;
}

// Stops the loop safely (damping, then every motor disabled), with the
// interpreter lock released while it waits.
void stop_loop(PyServoLoop& self) {
    ServoLoop* loop = self.loop.get();
    Py_BEGIN_ALLOW_THREADS {
        loop->stop();
    }
    Py_END_ALLOW_THREADS;
}

using support::motor_id_text;
using support::shortest_string;

std::unexpected<Failure> forked_off() {
    return error_value(PyExc_RuntimeError,
                       "the servo loop runs in another process (this one was forked from it)");
}

// The stop's reason as the exception a program gets: a MotorError naming
// the motor for a fault or misses, a RuntimeError otherwise.
std::unexpected<Failure> stopped(const PyServoLoop& self) {
    switch (self.loop->phase()) {
        case Phase::Idle:
        case Phase::Starting:
            return error_value(PyExc_RuntimeError, "the servo loop has not been started");
        case Phase::Abandoned:
            return forked_off();
        case Phase::Running:
        case Phase::Stopping:
        case Phase::Stopped:
            break;
    }
    const StopReason reason = self.loop->stop_reason();
    switch (reason.kind) {
        case StopReason::Kind::MotorFault:
        case StopReason::Kind::Missed: {
            const auto motor = group_of(self).group.members()[reason.member].driver.motor_id();
            return motor_failure(
                motor, reason.message(),
                reason.kind == StopReason::Kind::MotorFault ? "motor_fault" : "missed");
        }
        case StopReason::Kind::Running:
        case StopReason::Kind::Requested:
            break;
    }
    return error_value(PyExc_RuntimeError, "the servo loop has stopped");
}

// --- construction ----------------------------------------------------------

constexpr std::array<std::string_view, 18> kNewParams = {"group",
                                                         "rate_hz",
                                                         "kp",
                                                         "kd",
                                                         "max_velocity",
                                                         "max_acceleration",
                                                         "min_q",
                                                         "max_q",
                                                         "max_misses",
                                                         "target_timeout_ms",
                                                         "stop_kd",
                                                         "stop_damping_ms",
                                                         "disable_timeout_ms",
                                                         "priority",
                                                         "lock_memory",
                                                         "log_capacity",
                                                         "cpu",
                                                         "stop_on_sigterm"};
constexpr Signature kNewSignature{"ServoLoop.__new__()", kNewParams, 1};
enum Param : std::size_t {
    kGroup,
    kRate,
    kKp,
    kKd,
    kMaxVelocity,
    kMaxAcceleration,
    kMinQ,
    kMaxQ,
    kMaxMisses,
    kTargetTimeout,
    kStopKd,
    kStopDamping,
    kDisableTimeout,
    kPriority,
    kLockMemory,
    kLogCapacity,
    kCpu,
    kStopOnSigterm
};

PyResult<std::vector<double>> doubles(PyObject* given, std::string_view name, std::size_t count);

// A number, or one per motor.
PyResult<std::vector<double>> per_motor(PyObject* given, std::string_view name, std::size_t count,
                                        double fallback) {
    if (given == nullptr) {
        return std::vector<double>(count, fallback);
    }
    if (PyFloat_Check(given) || PyLong_Check(given)) {
        return to_double(given, name).transform([count](double value) {
            return std::vector<double>(count, value);
        });
    }
    return doubles(given, name, count);
}

PyResult<double> optional_double(PyObject* given, std::string_view name, double fallback) {
    return given == nullptr ? PyResult<double>(fallback) : to_double(given, name);
}

// A whole number within [lowest, most]: "max_misses must be from 1 to
// 1000000, got -1", negatives and numbers beyond 64 bits alike.
PyResult<std::int64_t> bounded_int(PyObject* given, std::string_view name, std::int64_t fallback,
                                   std::int64_t lowest, std::int64_t most) {
    if (given == nullptr) {
        return fallback;
    }
    PyRef index = PyRef::steal(PyNumber_Index(given));
    if (!index) {
        PyErr_Clear();
        return error_value(PyExc_TypeError, std::string(name) + ": expected an integer, got " +
                                                Py_TYPE(given)->tp_name);
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return already_set();
    }
    if (overflow != 0 || value < lowest || value > most) {
        PyRef text = PyRef::steal(PyObject_Str(index.get()));
        const char* shown = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (shown == nullptr) {
            return already_set();
        }
        return error_value(PyExc_ValueError, std::string(name) + " must be from " +
                                                 std::to_string(lowest) + " to " +
                                                 std::to_string(most) + ", got " + shown);
    }
    return static_cast<std::int64_t>(value);
}

PyResult<bool> optional_truth(PyObject* given, bool fallback) {
    if (given == nullptr) {
        return fallback;
    }
    const int truth = PyObject_IsTrue(given);
    if (truth < 0) {
        return already_set();
    }
    return truth != 0;
}

// Bounds no program needs to come near: an hour, ten million cycles
// (at 1 kHz almost three hours of log).
constexpr std::int64_t kMaxLog = 10'000'000;
constexpr std::int64_t kMaxMillis = 3'600'000;
constexpr std::int64_t kMostMisses = 1'000'000;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

PyResult<ServoSettings> settings_from(const Arguments& matched, std::size_t motors) {
    ServoSettings settings;
    auto rate = optional_double(matched[kRate], "rate_hz", 500.0);
    auto kp = optional_double(matched[kKp], "kp", settings.kp);
    auto kd = optional_double(matched[kKd], "kd", settings.kd);
    auto velocity = per_motor(matched[kMaxVelocity], "max_velocity", motors,
                              control::kDefaultMotionLimits.v_max);
    auto acceleration = per_motor(matched[kMaxAcceleration], "max_acceleration", motors,
                                  control::kDefaultMotionLimits.a_max);
    // Not given: each motor's whole p_max.
    const auto given = [&matched](Param param) {
        return matched[param] == Py_None ? nullptr : matched[param];
    };
    auto min_q = per_motor(given(kMinQ), "min_q", motors, -kInfinity);
    auto max_q = per_motor(given(kMaxQ), "max_q", motors, kInfinity);
    auto misses =
        bounded_int(matched[kMaxMisses], "max_misses", settings.max_misses, 1, kMostMisses);
    auto target_timeout =
        bounded_int(matched[kTargetTimeout], "target_timeout_ms", 0, 0, kMaxMillis);
    auto stop_kd = optional_double(matched[kStopKd], "stop_kd", settings.stop_kd);
    auto damping =
        bounded_int(matched[kStopDamping], "stop_damping_ms",
                    static_cast<std::int64_t>(settings.stop_damping_ns / 1'000'000), 0, kMaxMillis);
    auto disable_timeout = bounded_int(
        matched[kDisableTimeout], "disable_timeout_ms",
        static_cast<std::int64_t>(settings.disable_timeout_ns / 1'000'000), 0, kMaxMillis);
    auto priority = bounded_int(matched[kPriority], "priority", 40, 0, 99);
    auto lock_memory = optional_truth(matched[kLockMemory], true);
    auto capacity = bounded_int(matched[kLogCapacity], "log_capacity", 0, 0, kMaxLog);
    auto cpu = bounded_int(matched[kCpu], "cpu", -1, -1, CPU_SETSIZE - 1);
    auto sigterm = optional_truth(matched[kStopOnSigterm], true);
    for (const Failure* failed :
         {rate ? nullptr : &rate.error(), kp ? nullptr : &kp.error(), kd ? nullptr : &kd.error(),
          velocity ? nullptr : &velocity.error(), acceleration ? nullptr : &acceleration.error(),
          min_q ? nullptr : &min_q.error(), max_q ? nullptr : &max_q.error(),
          misses ? nullptr : &misses.error(), target_timeout ? nullptr : &target_timeout.error(),
          stop_kd ? nullptr : &stop_kd.error(), damping ? nullptr : &damping.error(),
          disable_timeout ? nullptr : &disable_timeout.error(),
          priority ? nullptr : &priority.error(), lock_memory ? nullptr : &lock_memory.error(),
          capacity ? nullptr : &capacity.error(), cpu ? nullptr : &cpu.error(),
          sigterm ? nullptr : &sigterm.error()}) {
        if (failed != nullptr) {
            return std::unexpected(*failed);
        }
    }
    settings.rate_hz = *rate;
    settings.kp = *kp;
    settings.kd = *kd;
    settings.limits.resize(motors);
    for (std::size_t i = 0; i < motors; ++i) {
        settings.limits[i] = {(*velocity)[i], (*acceleration)[i], (*min_q)[i], (*max_q)[i]};
    }
    settings.max_misses = static_cast<std::uint32_t>(*misses);
    settings.target_timeout_ns = static_cast<std::uint64_t>(*target_timeout) * 1'000'000;
    settings.stop_kd = *stop_kd;
    settings.stop_damping_ns = static_cast<std::uint64_t>(*damping) * 1'000'000;
    settings.disable_timeout_ns = static_cast<std::uint64_t>(*disable_timeout) * 1'000'000;
    settings.priority = static_cast<int>(*priority);
    settings.lock_memory = *lock_memory;
    settings.log_capacity = static_cast<std::size_t>(*capacity);
    settings.cpu = static_cast<int>(*cpu);
    settings.stop_on_sigterm = *sigterm;
    return settings;
}

PyResult<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto matched = match_arguments(kNewSignature, args, kwargs);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    auto group_type = motor_group_type();
    if (!group_type) {
        return std::unexpected(std::move(group_type.error()));
    }
    auto group = to_instance((*matched)[kGroup], "group", *group_type, "MotorGroup");
    if (!group) {
        return std::unexpected(std::move(group.error()));
    }
    const PyMotorGroup& payload = unwrap<PyMotorGroup>(*group);
    auto settings = settings_from(*matched, payload.group.members().size());
    if (!settings) {
        return std::unexpected(std::move(settings.error()));
    }
    std::vector<transport::SharedBus*> buses;
    for (const PyRef& bus : payload.bus_objects) {
        buses.push_back(&unwrap<GuardedTransport>(bus.get()));
    }
    auto made = ServoLoop::make(payload.group, buses, std::move(*settings));
    if (!made) {
        return error_value(PyExc_ValueError, made.error());
    }
    PyServoLoop loop;
    loop.group = PyRef::borrow(*group);
    loop.loop = std::move(*made);
    return emplace<PyServoLoop>(type, std::move(loop));
}

// --- start and stop ------------------------------------------------------------

PyResult<PyRef> start(PyObject* self, PyObject*) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    if (loop.loop->phase() == Phase::Abandoned) {
        return forked_off();
    }
    std::expected<void, control::StartFailure> started;
    ServoLoop* core = loop.loop.get();
    Py_BEGIN_ALLOW_THREADS {
        started = core->start();
    }
    Py_END_ALLOW_THREADS;
    if (!started) {
        // A signal during the enable (Ctrl-C) is what the call raises.
        if (PyErr_CheckSignals() != 0) {
            return already_set();
        }
        const control::StartFailure& failure = started.error();
        const auto& members = group_of(loop).group.members();
        switch (failure.kind) {
            case control::StartFailure::Kind::Motor:
                return motor_failure(members[*failure.member].driver.motor_id(), *failure.error);
            case control::StartFailure::Kind::WrongMode:
                return motor_failure(members[*failure.member].driver.motor_id(), failure.message(),
                                     "wrong_mode");
            case control::StartFailure::Kind::Thread:
                return error_value(PyExc_OSError,
                                   "cannot start the servo loop's thread: " +
                                       transport::system_error_text(failure.os_error));
            default:
                return error_value(PyExc_RuntimeError, failure.message());
        }
    }
    std::vector<control::JointReading> readings(core->size());
    core->read_states(readings);
    loop.last_set.resize(readings.size());
    for (std::size_t i = 0; i < readings.size(); ++i) {
        loop.last_set[i] = {readings[i].q, 0.0, 0.0, core->settings().kp, core->settings().kd};
    }
    return PyRef::borrow(Py_None);
}

PyResult<PyRef> stop(PyObject* self, PyObject*) {
    stop_loop(unwrap<PyServoLoop>(self));
    return PyRef::borrow(Py_None);
}

constexpr std::array<std::string_view, 1> kWaitParams = {"timeout"};
constexpr Signature kWaitSignature{"ServoLoop.wait()", kWaitParams, 0};

// Waits in slices, so that the main thread's signal handlers (Ctrl-C) run
// within a few milliseconds while it waits.
PyResult<PyRef> wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    auto matched = match_arguments(kWaitSignature, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    PyObject* given = (*matched)[0];
    std::int64_t left = -1;
    if (given != nullptr && given != Py_None) {
        auto seconds = to_double(given, "timeout");
        if (!seconds) {
            return std::unexpected(std::move(seconds.error()));
        }
        if (!(*seconds >= 0.0) || *seconds > 1e9) {
            return error_value(
                PyExc_ValueError,
                "timeout must be None or from 0 to 1e9 seconds, got " + shortest_string(*seconds));
        }
        left = std::llround(*seconds * 1e9);
    }
    constexpr std::int64_t kSlice = 5'000'000;
    const ServoLoop* core = loop.loop.get();
    for (;;) {
        const std::int64_t slice = left < 0 ? kSlice : std::min(left, kSlice);
        bool ended = false;
        Py_BEGIN_ALLOW_THREADS {
            ended = core->wait(slice);
        }
        Py_END_ALLOW_THREADS;
        if (ended) {
            return PyRef::borrow(Py_True);
        }
        if (left >= 0 && (left -= slice) <= 0) {
            return PyRef::borrow(Py_False);
        }
        if (PyErr_CheckSignals() != 0) {
            return already_set();
        }
    }
}

PyResult<PyRef> enter(PyObject* self, PyObject*) {
    if (unwrap<PyServoLoop>(self).loop->phase() == Phase::Idle) {
        if (auto started = start(self, nullptr); !started) {
            return std::unexpected(std::move(started.error()));
        }
    }
    return PyRef::borrow(self);
}

// Stops; with no exception on its way out of the block, a loop that had
// stopped by itself (a fault, misses) raises why.
PyResult<PyRef> exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    const bool own_stop = runs_here(loop) && !loop.loop->running();
    stop_loop(loop);
    const bool leaving_cleanly = nargs < 1 || args[0] == Py_None;
    if (leaving_cleanly && own_stop && runs_here(loop) &&
        loop.loop->stop_reason().kind != StopReason::Kind::Requested) {
        return stopped(loop);
    }
    return PyRef::borrow(Py_False);
}

// --- targets ---------------------------------------------------------------------

// Up to one double per motor, from any buffer of doubles (array('d'), a
// NumPy float64 array) or any sequence of numbers.
PyResult<std::vector<double>> doubles(PyObject* given, std::string_view name, std::size_t count) {
    std::vector<double> values(count);
    if (PyObject_CheckBuffer(given) && !PyBytes_Check(given) && !PyByteArray_Check(given)) {
        Py_buffer view{};
        if (PyObject_GetBuffer(given, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
            const std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> held(&view, PyBuffer_Release);
            const std::string_view format = view.format != nullptr ? view.format : "B";
            if (view.ndim == 1 && view.itemsize == sizeof(double) &&
                (format == "d" || format == "@d" || format == "=d" || format == "<d")) {
                if (static_cast<std::size_t>(view.shape[0]) != count) {
                    return error_value(PyExc_ValueError, std::string(name) +
                                                             ": expected one for every motor (" +
                                                             std::to_string(count) + "), got " +
                                                             std::to_string(view.shape[0]));
                }
                std::copy_n(static_cast<const double*>(view.buf), count, values.begin());
                return values;
            }
        } else {
            PyErr_Clear();
        }
    }
    PyRef sequence = PyRef::steal(PySequence_Fast(
        given, (std::string(name) + ": expected a sequence or buffer of numbers").c_str()));
    if (!sequence) {
        return already_set();
    }
    const auto got = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get()));
    if (got != count) {
        return error_value(PyExc_ValueError,
                           std::string(name) + ": expected one for every motor (" +
                               std::to_string(count) + "), got " + std::to_string(got));
    }
    for (std::size_t i = 0; i < count; ++i) {
        auto value =
            to_double(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i)), name);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        values[i] = *value;
    }
    return values;
}

constexpr std::array<std::string_view, 5> kTargetParams = {"q", "dq", "tau", "kp", "kd"};
constexpr Signature kTargetSignature{"ServoLoop.set_targets()", kTargetParams, 0};

// "q[2] = 13 for motor 0x03 is beyond its p_max 12.5"
std::unexpected<Failure> bad_target(std::string_view field, std::size_t i, double value,
                                    std::uint16_t motor, const std::string& why) {
    return error_value(PyExc_ValueError, std::string(field) + "[" + std::to_string(i) +
                                             "] = " + shortest_string(value) + " for motor " +
                                             motor_id_text(motor) + " " + why);
}

PyResult<PyRef> set_targets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    auto matched = match_arguments(kTargetSignature, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    if (!runs_here(loop) || !loop.loop->running()) {
        return stopped(loop);
    }
    const auto& members = group_of(loop).group.members();
    const std::size_t count = members.size();
    std::array<std::vector<double>, 5> given;
    std::array<bool, 5> present{};
    for (std::size_t field = 0; field < kTargetParams.size(); ++field) {
        if ((*matched)[field] == nullptr || (*matched)[field] == Py_None) {
            continue;
        }
        auto values = doubles((*matched)[field], kTargetParams[field], count);
        if (!values) {
            return std::unexpected(std::move(values.error()));
        }
        given[field] = std::move(*values);
        present[field] = true;
    }
    std::vector<JointTarget> targets(count);
    for (std::size_t i = 0; i < count; ++i) {
        const damiao::MitLimits& limits = members[i].driver.limits();
        const std::uint16_t motor = members[i].driver.motor_id();
        JointTarget& target = targets[i];
        target = {present[0] ? given[0][i] : loop.last_set[i].q, present[1] ? given[1][i] : 0.0,
                  present[2] ? given[2][i] : 0.0,
                  present[3] ? given[3][i] : loop.loop->settings().kp,
                  present[4] ? given[4][i] : loop.loop->settings().kd};
        const std::array<double, 5> fields{target.q, target.dq, target.tau, target.kp, target.kd};
        for (std::size_t field = 0; field < fields.size(); ++field) {
            if (!std::isfinite(fields[field])) {
                return bad_target(kTargetParams[field], i, fields[field], motor, "is not finite");
            }
        }
        if (std::abs(target.q) > limits.p_max) {
            return bad_target("q", i, target.q, motor,
                              "is beyond its p_max " + shortest_string(limits.p_max));
        }
        if (std::abs(target.tau) > limits.t_max) {
            return bad_target("tau", i, target.tau, motor,
                              "is beyond its t_max " + shortest_string(limits.t_max));
        }
        if (target.kp < 0.0 || target.kp > limits.kp_max) {
            return bad_target("kp", i, target.kp, motor,
                              "is not within its [0, " + shortest_string(limits.kp_max) + "]");
        }
        if (target.kd < 0.0 || target.kd > limits.kd_max) {
            return bad_target("kd", i, target.kd, motor,
                              "is not within its [0, " + shortest_string(limits.kd_max) + "]");
        }
    }
    if (!loop.loop->set_targets(targets)) {
        return stopped(loop);
    }
    loop.last_set = std::move(targets);
    return PyRef::borrow(Py_None);
}

// --- reading -----------------------------------------------------------------------

// array(typecode, bytes of `values`)
// (An empty vector's data() may be null, which "y#" turns into None.)
template <class T>
PyResult<PyRef> array_of(const char* typecode, std::span<const T> values) {
    const char* bytes = values.empty() ? "" : reinterpret_cast<const char*>(values.data());
    return result_object(PyObject_CallFunction(g_array_type, "sy#", typecode, bytes,
                                               static_cast<Py_ssize_t>(values.size_bytes())));
}

PyResult<PyRef> states(PyObject* self, PyObject*) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    if (not_started(loop)) {
        return stopped(loop);
    }
    const std::size_t count = loop.loop->size();
    std::vector<control::JointReading> readings(count);
    const std::uint64_t loop_cycle = loop.loop->read_states(readings);
    std::vector<double> q(count), dq(count), tau(count);
    std::vector<std::uint8_t> status(count);
    std::vector<std::uint64_t> cycle(count);
    std::vector<std::int64_t> time_ns(count);
    for (std::size_t i = 0; i < count; ++i) {
        q[i] = readings[i].q;
        dq[i] = readings[i].dq;
        tau[i] = readings[i].tau;
        status[i] = readings[i].status;
        cycle[i] = readings[i].cycle;
        time_ns[i] = readings[i].time_ns;
    }
    PyRef out = PyRef::steal(PyStructSequence_New(g_states_type));
    if (!out) {
        return already_set();
    }
    std::array<PyResult<PyRef>, 7> fields{array_of<double>("d", q),
                                          array_of<double>("d", dq),
                                          array_of<double>("d", tau),
                                          array_of<std::uint8_t>("B", status),
                                          array_of<std::uint64_t>("Q", cycle),
                                          array_of<std::int64_t>("q", time_ns),
                                          result_object(PyLong_FromUnsignedLongLong(loop_cycle))};
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (!fields[k]) {
            return std::unexpected(std::move(fields[k].error()));
        }
        PyStructSequence_SetItem(out.get(), static_cast<Py_ssize_t>(k), fields[k]->release());
    }
    return out;
}

// A dict built from (name, new reference) pairs.
PyResult<PyRef> dict_of(std::initializer_list<std::pair<const char*, PyResult<PyRef>>> items) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
        return already_set();
    }
    for (const auto& [name, value] : items) {
        if (!value) {
            return std::unexpected(value.error());
        }
        if (PyDict_SetItemString(dict.get(), name, value->get()) < 0) {
            return already_set();
        }
    }
    return dict;
}

PyResult<PyRef> percentiles(const std::array<std::uint64_t, 4>& values) {
    return dict_of({{"p50", result_object(PyLong_FromUnsignedLongLong(values[0]))},
                    {"p99", result_object(PyLong_FromUnsignedLongLong(values[1]))},
                    {"p99.9", result_object(PyLong_FromUnsignedLongLong(values[2]))},
                    {"max", result_object(PyLong_FromUnsignedLongLong(values[3]))}});
}

template <class Field>
PyResult<PyRef> per_joint(const control::ServoStats& stats, Field field) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(stats.joints.size())));
    if (!tuple) {
        return already_set();
    }
    for (std::size_t i = 0; i < stats.joints.size(); ++i) {
        PyObject* value = PyLong_FromUnsignedLongLong(stats.joints[i].*field);
        if (value == nullptr) {
            return already_set();
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
    }
    return tuple;
}

PyResult<PyRef> real_time(const PyServoLoop& loop) {
    const control::RealTimeGrant grant =
        runs_here(loop) ? loop.loop->real_time() : control::RealTimeGrant{};
    return dict_of({{"sched_fifo", PyRef::borrow(grant.scheduled ? Py_True : Py_False)},
                    {"priority", result_object(PyLong_FromLong(
                                     grant.scheduled ? loop.loop->settings().priority : 0))},
                    {"memory_locked", PyRef::borrow(grant.memory_locked ? Py_True : Py_False)},
                    {"cpu", grant.pinned ? result_object(PyLong_FromLong(loop.loop->settings().cpu))
                                         : PyRef::borrow(Py_None)}});
}

// Per motor, after the loop stopped: whether its disable was confirmed by
// its answer.
PyResult<PyRef> disabled(const PyServoLoop& loop) {
    const std::vector<bool> confirmed = loop.loop->disabled();
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(confirmed.size())));
    if (!tuple) {
        return already_set();
    }
    for (std::size_t i = 0; i < confirmed.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         PyRef::borrow(confirmed[i] ? Py_True : Py_False).release());
    }
    return tuple;
}

PyResult<PyRef> stats(PyObject* self, PyObject*) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    if (not_started(loop)) {
        return stopped(loop);
    }
    const control::ServoStats stats = loop.loop->stats();
    return dict_of({
        {"cycles", result_object(PyLong_FromUnsignedLongLong(stats.cycles))},
        {"late_periods", result_object(PyLong_FromUnsignedLongLong(stats.late_periods))},
        {"overruns", result_object(PyLong_FromUnsignedLongLong(stats.overruns))},
        {"period_error_ns", percentiles(stats.period_error_ns)},
        {"cycle_ns", percentiles(stats.cycle_ns)},
        {"misses", per_joint(stats, &control::JointCounts::misses)},
        {"consecutive_misses", per_joint(stats, &control::JointCounts::consecutive_misses)},
        {"most_consecutive_misses", per_joint(stats, &control::JointCounts::most_consecutive)},
        {"late_answers", per_joint(stats, &control::JointCounts::late_answers)},
        {"clamped", per_joint(stats, &control::JointCounts::clamped)},
        {"disabled", disabled(loop)},
        {"real_time", real_time(loop)},
    });
}

PyResult<PyRef> columns(const std::vector<std::vector<double>>& per_motor) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(per_motor.size())));
    if (!tuple) {
        return already_set();
    }
    for (std::size_t i = 0; i < per_motor.size(); ++i) {
        auto column = array_of<double>("d", per_motor[i]);
        if (!column) {
            return std::unexpected(std::move(column.error()));
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), column->release());
    }
    return tuple;
}

PyResult<PyRef> log(PyObject* self, PyObject*) {
    PyServoLoop& loop = unwrap<PyServoLoop>(self);
    if (not_started(loop)) {
        return stopped(loop);
    }
    const control::ServoLog log = loop.loop->log();
    return dict_of({{"cycle", array_of<std::uint64_t>("Q", log.cycle)},
                    {"time_ns", array_of<std::int64_t>("q", log.time_ns)},
                    {"target", columns(log.target)},
                    {"q", columns(log.q)},
                    {"dq", columns(log.dq)},
                    {"tau", columns(log.tau)}});
}

// --- attributes ----------------------------------------------------------------------

PyResult<PyRef> running(PyObject* self, void*) {
    const PyServoLoop& loop = unwrap<PyServoLoop>(self);
    return PyRef::borrow(runs_here(loop) && loop.loop->running() ? Py_True : Py_False);
}

PyResult<PyRef> group(PyObject* self, void*) {
    return PyRef::borrow(unwrap<PyServoLoop>(self).group.get());
}

PyResult<PyRef> rate_hz(PyObject* self, void*) {
    return result_object(PyFloat_FromDouble(unwrap<PyServoLoop>(self).loop->settings().rate_hz));
}

PyResult<PyRef> real_time_getter(PyObject* self, void*) {
    return real_time(unwrap<PyServoLoop>(self));
}

// The MotorError (or RuntimeError) a stopped loop raises; None while it
// runs, before it starts, and after a stop that was asked for.
PyResult<PyRef> stop_reason(PyObject* self, void*) {
    const PyServoLoop& loop = unwrap<PyServoLoop>(self);
    if (!runs_here(loop) || loop.loop->running()) {
        return PyRef::borrow(Py_None);
    }
    const StopReason reason = loop.loop->stop_reason();
    if (reason.kind != StopReason::Kind::MotorFault && reason.kind != StopReason::Kind::Missed) {
        return PyRef::borrow(Py_None);
    }
    const auto motor = group_of(loop).group.members()[reason.member].driver.motor_id();
    return new_motor_error(motor, reason.message(),
                           reason.kind == StopReason::Kind::MotorFault ? "motor_fault" : "missed");
}

PyResult<PyRef> repr(PyObject* self) {
    const PyServoLoop& loop = unwrap<PyServoLoop>(self);
    const auto& members = group_of(loop).group.members();
    std::string text = "ServoLoop(";
    for (std::size_t i = 0; i < members.size(); ++i) {
        text += (i == 0 ? "" : ", ") + motor_id_text(members[i].driver.motor_id());
    }
    text += " at " + shortest_string(loop.loop->settings().rate_hz) + " Hz, ";
    if (not_started(loop)) {
        text += "not started";
    } else if (loop.loop->phase() == Phase::Abandoned) {
        text += "not running in this process";
    } else if (loop.loop->running()) {
        text += "running, cycle " + std::to_string(loop.loop->stats().cycles);
    } else {
        const StopReason reason = loop.loop->stop_reason();
        text += "stopped";
        if (reason.kind == StopReason::Kind::MotorFault ||
            reason.kind == StopReason::Kind::Missed) {
            text += ": motor " + motor_id_text(members[reason.member].driver.motor_id()) + " " +
                    reason.message();
        }
    }
    text += ")";
    return result_object(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void dealloc_loop(PyObject* self) noexcept {
    stop_loop(unwrap<PyServoLoop>(self));
    dealloc<PyServoLoop>(self);
}

PyMethodDef kMethods[] = {
    {"start", entry<start>, METH_NOARGS,
     "start($self)\n--\n\n"
     "Enables every motor of the group (each verified by its answer), holds\n"
     "each where its answer says, and starts the loop's thread. A motor that\n"
     "cannot be enabled raises MotorError, after every motor was disabled."},
    {"stop", entry<stop>, METH_NOARGS,
     "stop($self)\n--\n\n"
     "Stops the loop safely and waits: damping (no pull to any position) for\n"
     "stop_damping_ms, then every motor disabled, each verified by its answer.\n"
     "A loop that is starting in another thread ends its start first."},
    {"wait", fastcall_entry<wait>(), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, /, timeout=None)\n--\n\n"
     "Waits until the loop has stopped (by itself, or by a stop from any\n"
     "thread) and returns True, or returns False after timeout seconds. A loop\n"
     "that does not run (not started, stopped) returns True at once."},
    {"set_targets", fastcall_entry<set_targets>(), METH_FASTCALL | METH_KEYWORDS,
     "set_targets($self, /, q=None, dq=None, tau=None, kp=None, kd=None)\n--\n\n"
     "Hands the next targets to the loop, one value per motor in each given\n"
     "field (a sequence or a buffer of doubles, e.g. array('d') or a NumPy\n"
     "float64 array); applied together, in one cycle. q not given keeps the\n"
     "last positions; dq (the target's own velocity) and tau not given are 0;\n"
     "kp and kd not given are the loop's. Never waits for the loop. A value\n"
     "that is not finite, a position beyond the motor's p_max, a torque beyond\n"
     "its t_max or a gain outside its range raises ValueError and changes\n"
     "nothing. On a loop that stopped, raises why it stopped."},
    {"states", entry<states>, METH_NOARGS,
     "states($self)\n--\n\n"
     "The latest answer of every motor: q, dq, tau (array('d')), status\n"
     "(array('B')), the loop cycle each came in (cycle) and when (time_ns,\n"
     "time.monotonic_ns(), 0 for none yet), and loop_cycle, the latest cycle."},
    {"stats", entry<stats>, METH_NOARGS,
     "stats($self)\n--\n\n"
     "A dict: cycles, late_periods (periods skipped because their cycle could\n"
     "not start in time), overruns, period_error_ns and cycle_ns (p50, p99,\n"
     "p99.9, max), per motor misses, consecutive_misses,\n"
     "most_consecutive_misses, late_answers and disabled (whether the safe\n"
     "stop's disable was confirmed by the motor's answer), and real_time."},
    {"log", entry<log>, METH_NOARGS,
     "log($self)\n--\n\n"
     "The last log_capacity cycles as columns: cycle, time_ns, and per motor\n"
     "target (the position commanded after the limiter), q, dq, tau."},
    {"__enter__", entry<enter>, METH_NOARGS, "__enter__($self)\n--\n\nStarts the loop."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<exit>)),
     METH_FASTCALL, "__exit__($self, *exc)\n--\n\nStops the loop safely."},
    {},
};

PyGetSetDef kGetters[] = {
    {"running", entry<running>, nullptr, "Whether the loop's thread runs (in this process).",
     nullptr},
    {"group", entry<group>, nullptr, "The MotorGroup the loop drives.", nullptr},
    {"rate_hz", entry<rate_hz>, nullptr, "Cycles per second.", nullptr},
    {"real_time", entry<real_time_getter>, nullptr,
     "What the loop got of the real-time settings it asked for: sched_fifo,\n"
     "priority, memory_locked.",
     nullptr},
    {"stop_reason", entry<stop_reason>, nullptr,
     "Why the loop stopped by itself, as a MotorError (kind 'motor_fault' or\n"
     "'missed'); None otherwise.",
     nullptr},
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_loop)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_repr, reinterpret_cast<void*>(entry<repr>)},
    {Py_tp_doc,
     const_cast<char*>(
         "ServoLoop(group, rate_hz=500, kp=5.0, kd=0.5, max_velocity=1.0, max_acceleration=5.0, "
         "min_q=None, max_q=None, max_misses=10, target_timeout_ms=0, stop_kd=1.0, "
         "stop_damping_ms=200, disable_timeout_ms=100, priority=40, lock_memory=True, "
         "log_capacity=0, cpu=-1, stop_on_sigterm=True)\n--\n\n"
         "A servo loop on a thread of its own: one cycle of MIT commands to every\n"
         "motor of `group` per period, clocked on absolute deadlines.\n\n"
         "Used as a context manager (or start() and stop()): it checks that every\n"
         "motor is in MIT mode, enables every motor and holds each where it\n"
         "stands; targets from set_targets pass a motion limiter per joint\n"
         "(max_velocity rad/s, max_acceleration rad/s^2, the range min_q to max_q\n"
         "rad, each a number or one per motor; no range: the motor's p_max) on their\n"
         "way to the wire. It stops safely (damping with stop_kd for\n"
         "stop_damping_ms, then every motor disabled, sent again for up to\n"
         "disable_timeout_ms until each confirms) on stop(), on leaving the block\n"
         "by any path, when the object is released, at interpreter exit, on\n"
         "SIGTERM (unless stop_on_sigterm is False or the program handles it),\n"
         "when a motor reports a fault, or when a motor misses max_misses cycles\n"
         "in a row. target_timeout_ms (0: off) brings every joint to rest where it\n"
         "is when targets stop coming. priority asks for SCHED_FIFO (0: no),\n"
         "lock_memory for mlockall, cpu (-1: any) keeps the loop's thread on one\n"
         "CPU; real_time says what was granted. log_capacity keeps that many\n"
         "recent cycles for log().")},
    {},
};

PyType_Spec kSpec{"axiolink_ext.ServoLoop", sizeof(Wrapper<PyServoLoop>), 0, kClassFlags, kSlots};

PyStructSequence_Field kStateFields[] = {
    {"q", "position of each motor, rad"},
    {"dq", "velocity, rad/s"},
    {"tau", "torque, N·m"},
    {"status", "status code of each motor's latest answer"},
    {"cycle", "the loop cycle each motor's latest answer came in"},
    {"time_ns", "when it came, time.monotonic_ns(); 0 for none yet"},
    {"loop_cycle", "the loop's latest cycle"},
    {},
};

PyStructSequence_Desc kStateDesc{"axiolink_ext.ServoStates", "The latest answer of every motor.",
                                 kStateFields, 7};

// At interpreter exit, every loop still starting or running stops safely,
// also one that a daemon thread owns (whose objects are never released) or
// is starting right now; none starts after.
PyObject* stop_all(PyObject*, PyObject*) noexcept {
    Py_BEGIN_ALLOW_THREADS {
        ServoLoop::stop_all(true);
    }
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

PyMethodDef kStopAll{"_stop_servo_loops", stop_all, METH_NOARGS, nullptr};

}  // namespace

PyResult<PyTypeObject*> servo_loop_type() {
    return type_once(g_type, kSpec);
}

PyResult<void> prepare_servo_loops() {
    if (g_states_type == nullptr) {
        g_states_type = PyStructSequence_NewType(&kStateDesc);
        if (g_states_type == nullptr) {
            return already_set();
        }
        PyRef array = PyRef::steal(PyImport_ImportModule("array"));
        if (!array) {
            return already_set();
        }
        g_array_type = PyObject_GetAttrString(array.get(), "array");
        if (g_array_type == nullptr) {
            return already_set();
        }
        PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
        PyRef function = PyRef::steal(PyCFunction_New(&kStopAll, nullptr));
        if (!atexit || !function) {
            return already_set();
        }
        PyRef registered =
            PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
        if (!registered) {
            return already_set();
        }
    }
    return {};
}

PyTypeObject* servo_states_type() noexcept {
    return g_states_type;
}

}  // namespace axiolink::python::ext
