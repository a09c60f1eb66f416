#include "ext/group_type.hpp"

#include <array>
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "damiao/group.hpp"
#include "ext/axiolink_types.hpp"
#include "ext/cycle_signals.hpp"
#include "ext/motor_error.hpp"
#include "socketcan_transport.hpp"
#include "transport/shared_bus.hpp"
#include "transport/socketcan_bus_set.hpp"
#include "types.hpp"

namespace axiolink::python::ext {
namespace {

using damiao::ControlSetpoint;
using damiao::MotorGroup;

PyTypeObject* g_type = nullptr;

// A cycle's deadline ends it, so a Ctrl-C that reaches another thread than
// the cycle's still lets the cycle end soon; the cycle's own thread is woken
// by the signal at once.
constexpr std::uint64_t kMaxTimeoutMs = 100;
constexpr std::uint64_t kDefaultTimeoutMs = 20;

// --- construction ----------------------------------------------------------

constexpr std::array<std::string_view, 3> kNewParams = {"motors", "buses", "timeout_ms"};
constexpr Signature kNewSignature{"MotorGroup.__new__()", kNewParams, 2};

PyResult<PyRef> as_tuple(PyObject* value, std::string_view name) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        return error_value(PyExc_TypeError, "argument '" + std::string(name) +
                                                "': expected a list or tuple, got '" +
                                                Py_TYPE(value)->tp_name + "'");
    }
    return checked(PySequence_Tuple(value));
}

PyResult<PyObject*> as_transport(PyObject* value, std::string_view name) {
    return to_instance(value, name, axiolink_types().transport, "SocketCanTransport");
}

PyResult<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto matched = match_arguments(kNewSignature, args, kwargs);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    auto motors = as_tuple((*matched)[0], "motors");
    if (!motors) {
        return std::unexpected(std::move(motors.error()));
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(motors->get());
    // One bus for all, or a list with one bus per motor.
    PyRef per_motor;
    if (!PyObject_TypeCheck((*matched)[1], axiolink_types().transport)) {
        auto buses = as_tuple((*matched)[1], "buses");
        if (!buses) {
            return std::unexpected(std::move(buses.error()));
        }
        if (PyTuple_GET_SIZE(buses->get()) != count) {
            return error_value(PyExc_ValueError,
                               "buses: expected one bus for every motor (" + std::to_string(count) +
                                   "), got " + std::to_string(PyTuple_GET_SIZE(buses->get())));
        }
        per_motor = std::move(*buses);
    }
    auto timeout_ms = (*matched)[2] == nullptr ? PyResult<std::uint64_t>(kDefaultTimeoutMs)
                                               : to_u64((*matched)[2], "timeout_ms");
    if (!timeout_ms) {
        return std::unexpected(std::move(timeout_ms.error()));
    }
    if (*timeout_ms > kMaxTimeoutMs) {
        return error_value(PyExc_ValueError,
                           "timeout_ms must be at most 100, so that Ctrl-C ends a cycle soon");
    }
    std::vector<damiao::GroupMember> members;
    std::vector<PyRef> bus_objects;
    for (Py_ssize_t i = 0; i < count; ++i) {
        auto motor = to_instance(PyTuple_GET_ITEM(motors->get(), i), "motors",
                                 axiolink_types().damiao, "Damiao");
        if (!motor) {
            return std::unexpected(std::move(motor.error()));
        }
        PyObject* given = per_motor ? PyTuple_GET_ITEM(per_motor.get(), i) : (*matched)[1];
        auto bus = as_transport(given, "buses");
        if (!bus) {
            return std::unexpected(std::move(bus.error()));
        }
        std::size_t index = 0;
        while (index < bus_objects.size() && bus_objects[index].get() != *bus) {
            ++index;
        }
        if (index == bus_objects.size()) {
            if (bus_objects.size() == transport::LockedBuses::kMaxBuses) {
                return error_value(PyExc_ValueError, "a motor group spans at most 8 buses");
            }
            bus_objects.push_back(PyRef::borrow(*bus));
        }
        members.push_back({unwrap<damiao::Damiao>(*motor), index});
    }
    auto group = MotorGroup::make(members, transport::Duration::from_millis(*timeout_ms));
    if (!group) {
        return error_value(PyExc_ValueError, group.error().message());
    }
    return emplace<PyMotorGroup>(type, std::move(*group), std::move(*motors),
                                 std::move(bus_objects), *timeout_ms);
}

// --- the cycle ---------------------------------------------------------------

PyResult<ControlSetpoint> as_setpoint(PyObject* value) {
    const AxiolinkTypes& types = axiolink_types();
    if (PyObject_TypeCheck(value, types.mit_setpoint)) {
        return ControlSetpoint(unwrap<damiao::MitSetpoint>(value));
    }
    if (PyObject_TypeCheck(value, types.control_setpoint)) {
        return unwrap<ControlSetpoint>(value);
    }
    return error_value(PyExc_TypeError,
                       std::string("setpoints: expected MitSetpoint or ControlSetpoint, got '") +
                           Py_TYPE(value)->tp_name + "'");
}

// Where a cycle writes when each answer came: a writable buffer of one
// signed 64-bit integer per motor (array('q'), a NumPy int64 array), or a
// list whose items it replaces.
class ReceiveTimes {
public:
    ReceiveTimes() = default;
    ReceiveTimes(const ReceiveTimes&) = delete;
    ReceiveTimes& operator=(const ReceiveTimes&) = delete;
    ~ReceiveTimes() {
        if (view_.obj != nullptr) {
            PyBuffer_Release(&view_);
        }
    }

    // Takes hold of `given` (None: no times wanted) for `count` motors.
    PyResult<void> hold(PyObject* given, std::size_t count) {
        if (given == nullptr || given == Py_None) {
            return {};
        }
        if (PyList_Check(given)) {
            list_ = given;
            if (static_cast<std::size_t>(PyList_GET_SIZE(given)) != count) {
                return wrong_length(static_cast<std::size_t>(PyList_GET_SIZE(given)), count);
            }
            return {};
        }
        if (!PyObject_CheckBuffer(given) ||
            PyObject_GetBuffer(given, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) <
                0) {
            PyErr_Clear();
            return error_value(PyExc_TypeError,
                               std::string("times: expected a writable buffer of 64-bit integers "
                                           "or a list, got '") +
                                   Py_TYPE(given)->tp_name + "'");
        }
        const std::string_view format = view_.format != nullptr ? view_.format : "B";
        const bool int64 = view_.itemsize == 8 && !format.empty() &&
                           (format.back() == 'q' || format.back() == 'l') &&
                           (format.size() == 1 || std::string_view("@=<").find(format[0]) !=
                                                      std::string_view::npos);
        if (!int64 || view_.ndim != 1) {
            return error_value(PyExc_TypeError,
                               "times: expected one-dimensional signed 64-bit integers (format "
                               "'q'), got format '" +
                                   std::string(format) + "'");
        }
        if (static_cast<std::size_t>(view_.shape[0]) != count) {
            return wrong_length(static_cast<std::size_t>(view_.shape[0]), count);
        }
        return {};
    }

    PyResult<void> fill(std::span<const transport::MonotonicTime> received) {
        if (view_.obj != nullptr) {
            auto* cells = static_cast<std::int64_t*>(view_.buf);
            for (std::size_t i = 0; i < received.size(); ++i) {
                cells[i] = static_cast<std::int64_t>(received[i].nanos);
            }
        } else if (list_ != nullptr) {
            for (std::size_t i = 0; i < received.size(); ++i) {
                PyObject* value = PyLong_FromLongLong(static_cast<long long>(received[i].nanos));
                if (value == nullptr ||
                    PyList_SetItem(list_, static_cast<Py_ssize_t>(i), value) < 0) {
                    return already_set();
                }
            }
        }
        return {};
    }

private:
    static std::unexpected<Failure> wrong_length(std::size_t got, std::size_t count) {
        return error_value(PyExc_ValueError, "times: expected one for every motor (" +
                                                 std::to_string(count) + "), got " +
                                                 std::to_string(got));
    }

    Py_buffer view_{};
    PyObject* list_ = nullptr;  // borrowed from the call's arguments
};

// Runs `exchange(bus_set, results, outputs, signals)` on the group's buses,
// with the interpreter lock released and every bus locked, then hands back
// one MotorState or MotorError per member.
template <class Exchange>
PyResult<PyRef> on_buses(PyMotorGroup& group, ReceiveTimes& times, Exchange&& exchange) {
    const std::size_t count = group.group.members().size();
    std::array<GuardedTransport*, transport::LockedBuses::kMaxBuses> guarded{};
    std::array<transport::SocketCanTransport*, transport::LockedBuses::kMaxBuses> transports{};
    const std::size_t buses = group.bus_objects.size();
    for (std::size_t i = 0; i < buses; ++i) {
        guarded[i] = &unwrap<GuardedTransport>(group.bus_objects[i].get());
        transports[i] = &guarded[i]->transport;
    }
    std::array<damiao::Result<damiao::MotorState>, MotorGroup::kMaxMotors> results;
    std::array<transport::MonotonicTime, MotorGroup::kMaxMotors> received{};
    std::array<std::uint32_t, MotorGroup::kMaxMotors> late{};
    bool raised = false;
    // The bus objects stay alive through the group's references.
    PyThreadState* saved = PyEval_SaveThread();
    {
        transport::LockedBuses locked(std::span(guarded.data(), buses));
        transport::SocketCanBusSet bus_set(std::span(transports.data(), buses));
        CycleSignals signals(locked, saved);
        exchange(bus_set, std::span(results.data(), count),
                 damiao::CycleOutputs{std::span(received.data(), count), std::span(late.data(), count)},
                 &signals);
        raised = signals.raised();
    }
    PyEval_RestoreThread(saved);
    for (std::size_t i = 0; i < count; ++i) {
        group.late[i].fetch_add(late[i], std::memory_order_relaxed);
    }
    // A signal that came during the cycle is handled now; a handler that
    // raised during it has its exception set already.
    if (raised || PyErr_CheckSignals() != 0) {
        return already_set();
    }
    if (auto filled = times.fill(std::span(received.data(), count)); !filled) {
        return std::unexpected(std::move(filled.error()));
    }
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!out) {
        return already_set();
    }
    for (std::size_t i = 0; i < count; ++i) {
        auto item = results[i] ? new_motor_state(*results[i])
                               : new_motor_error(group.group.members()[i].driver.motor_id(),
                                                 results[i].error());
        if (!item) {
            return std::unexpected(std::move(item.error()));
        }
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item->release());
    }
    return out;
}

constexpr std::array<std::string_view, 2> kCycleParams = {"setpoints", "times"};
constexpr Signature kCycleSignature{"MotorGroup.cycle()", kCycleParams, 1};

PyResult<PyRef> cycle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyMotorGroup& group = unwrap<PyMotorGroup>(self);
    auto matched = match_arguments(kCycleSignature, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    PyRef sequence = PyRef::steal(PySequence_Fast((*matched)[0], "setpoints: expected a sequence"));
    if (!sequence) {
        return already_set();
    }
    const std::size_t count = group.group.members().size();
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence.get())) != count) {
        return error_value(PyExc_ValueError,
                           "setpoints: expected one for every motor (" + std::to_string(count) +
                               "), got " +
                               std::to_string(PySequence_Fast_GET_SIZE(sequence.get())));
    }
    std::array<ControlSetpoint, MotorGroup::kMaxMotors> commands;
    for (std::size_t i = 0; i < count; ++i) {
        auto setpoint =
            as_setpoint(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i)));
        if (!setpoint) {
            return std::unexpected(std::move(setpoint.error()));
        }
        commands[i] = *setpoint;
    }
    ReceiveTimes times;
    if (auto held = times.hold((*matched)[1], count); !held) {
        return std::unexpected(std::move(held.error()));
    }
    return on_buses(group, times,
                    [&](transport::BusSet& buses, auto results, auto outputs, auto* signals) {
                        group.group.cycle(buses, std::span(commands.data(), count), results,
                                          outputs, signals);
                    });
}

// enable(), disable(), clear_error(): one special command to every motor,
// each answer's status checked.
template <damiao::GroupCommand Command>
PyResult<PyRef> command_all(PyObject* self, PyObject*) {
    PyMotorGroup& group = unwrap<PyMotorGroup>(self);
    ReceiveTimes none;
    return on_buses(group, none,
                    [&](transport::BusSet& buses, auto results, auto outputs, auto* signals) {
                        group.group.command(buses, Command, results, outputs, signals);
                    });
}

// --- attributes ----------------------------------------------------------------

PyResult<PyRef> motors(PyObject* self, void*) {
    return PyRef::borrow(unwrap<PyMotorGroup>(self).motors.get());
}

PyResult<PyRef> timeout_ms(PyObject* self, void*) {
    return result_object(PyLong_FromUnsignedLongLong(unwrap<PyMotorGroup>(self).timeout_ms));
}

PyResult<PyRef> late_answers(PyObject* self, void*) {
    const PyMotorGroup& group = unwrap<PyMotorGroup>(self);
    PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(group.late.size())));
    if (!out) {
        return already_set();
    }
    for (std::size_t i = 0; i < group.late.size(); ++i) {
        PyObject* count =
            PyLong_FromUnsignedLongLong(group.late[i].load(std::memory_order_relaxed));
        if (count == nullptr) {
            return already_set();
        }
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), count);
    }
    return out;
}

// MotorGroup(0x01@0x11, 0x02@0x12 on bus 1, timeout_ms=20)
PyResult<PyRef> repr(PyObject* self) {
    const PyMotorGroup& group = unwrap<PyMotorGroup>(self);
    std::string text = "MotorGroup(";
    for (const damiao::GroupMember& member : group.group.members()) {
        std::array<char, 48> one{};
        std::snprintf(one.data(), one.size(), "0x%02X@0x%03X",
                      static_cast<unsigned>(member.driver.motor_id()),
                      static_cast<unsigned>(member.driver.master_id()));
        text += one.data();
        if (group.bus_objects.size() > 1) {
            text += " on bus " + std::to_string(member.bus);
        }
        text += ", ";
    }
    text += "timeout_ms=" + std::to_string(group.timeout_ms) + ")";
    return result_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Py_ssize_t len(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(unwrap<PyMotorGroup>(self).group.members().size());
}

PyMethodDef kMethods[] = {
    {"cycle", fastcall_entry<cycle>(), METH_FASTCALL | METH_KEYWORDS,
     "cycle($self, setpoints, times=None)\n--\n\n"
     "Commands every motor once and collects their answers.\n\n"
     "`setpoints` holds one MitSetpoint or ControlSetpoint per motor, in the\n"
     "group's order. Every command is sent first, on every bus; then the\n"
     "answers are collected until they are all in or the group's timeout has\n"
     "passed since the last send. Frames that were waiting on a bus before\n"
     "the cycle are discarded first, so a late answer to an earlier command\n"
     "is never taken for this one.\n\n"
     "Returns a tuple with one item per motor: its axiolink.MotorState, or a\n"
     "MotorError (returned, not raised) saying why there is none. The\n"
     "interpreter lock is released while the cycle waits, and each bus is\n"
     "locked for the whole cycle, so plain commands of other threads on those\n"
     "buses wait for it to end.\n\n"
     "`times`, when given, is a writable buffer of one signed 64-bit integer\n"
     "per motor (array('q'), a NumPy int64 array) or a list: the cycle writes\n"
     "when each answer came in, on the clock of time.monotonic_ns(), and 0 for\n"
     "a motor without one."},
    {"enable", entry<command_all<damiao::GroupCommand::Enable>>, METH_NOARGS,
     "enable($self)\n--\n\n"
     "Enables every motor and returns each one's answer, as cycle() does.\n\n"
     "Every command is sent first; an answer counts only when its status says\n"
     "enabled (1). A motor whose answer says otherwise (a late answer to an\n"
     "earlier command, a latched fault) is sent the command again, up to three\n"
     "times, within the group's timeout; its result is then a MotorError of\n"
     "kind 'unconfirmed' naming the status it last reported."},
    {"disable", entry<command_all<damiao::GroupCommand::Disable>>, METH_NOARGS,
     "disable($self)\n--\n\n"
     "Disables every motor, as enable() does: an answer counts only when its\n"
     "status is not enabled, so a late 'enabled' answer to an earlier command\n"
     "is never taken for the disable's."},
    {"clear_error", entry<command_all<damiao::GroupCommand::ClearError>>, METH_NOARGS,
     "clear_error($self)\n--\n\n"
     "Clears every motor's latched fault, as enable() does: an answer counts\n"
     "only when its status shows no fault (below 8)."},
    {},
};

PyGetSetDef kGetters[] = {
    {"motors", entry<motors>, nullptr, "The motors, in the group's order (a tuple).", nullptr},
    {"timeout_ms", entry<timeout_ms>, nullptr,
     "How long each cycle waits for the answers, from its last send.", nullptr},
    {"late_answers", entry<late_answers>, nullptr,
     "Late answers seen per motor since the group was made (a tuple): a second\n"
     "answer within one cycle, or one found waiting before a cycle sent.",
     nullptr},
    {},
};

void dealloc_group(PyObject* self) noexcept {
    dealloc<PyMotorGroup>(self);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_group)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_repr, reinterpret_cast<void*>(entry<repr>)},
    {Py_sq_length, reinterpret_cast<void*>(len)},
    {Py_tp_doc,
     const_cast<char*>("MotorGroup(motors, buses, timeout_ms=20)\n--\n\n"
                       "Motors commanded together, one cycle per step of a control loop.\n\n"
                       "`motors` is a list of axiolink.Damiao. `buses` is one\n"
                       "axiolink.SocketCanTransport for all of them, or a list with one per\n"
                       "motor (up to 8 different buses). `timeout_ms` (at most 100) bounds\n"
                       "each cycle's wait for the answers. Two motors on one bus that answer\n"
                       "at the same master id are refused (ValueError): their answers could\n"
                       "not be told apart.")},
    {},
};

PyType_Spec kSpec{"axiolink_ext.MotorGroup", sizeof(Wrapper<PyMotorGroup>), 0, kClassFlags, kSlots};

}  // namespace

PyResult<PyTypeObject*> motor_group_type() {
    return type_once(g_type, kSpec);
}

}  // namespace axiolink::python::ext
