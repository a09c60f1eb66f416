#include "damiao_type.hpp"

#include <array>
#include <cerrno>
#include <variant>

#include "args.hpp"
#include "boundary.hpp"
#include "control_setpoint.hpp"
#include "damiao/driver.hpp"
#include "mit_types.hpp"
#include "motor_state.hpp"
#include "repr_text.hpp"
#include "socketcan_transport.hpp"
#include "types.hpp"

namespace axiolink::python {
namespace {

using damiao::Damiao;
using transport::CanTransport;

PyTypeObject* g_type = nullptr;

bool interrupted_wait(const damiao::Error& error) {
    const auto* transport = std::get_if<damiao::Error::Transport>(&error.detail());
    return transport != nullptr && transport->error == transport::TransportError::backend(EINTR);
}

// --- construction ----------------------------------------------------------

constexpr std::uint64_t kDefaultTimeoutMs = 20;
constexpr std::array<std::string_view, 4> kNewParams = {"motor_id", "master_id", "limits",
                                                        "timeout_ms"};
constexpr Signature kNewSignature{"Damiao.__new__()", kNewParams, 2};

PyResult<damiao::MitLimits> convert_limits(PyObject* given) {
    if (given == nullptr || given == Py_None) {
        return damiao::MitLimits{};
    }
    return mit_limits_type()
        .and_then(
            [given](PyTypeObject* type) { return to_instance(given, "limits", type, "MitLimits"); })
        .transform([](PyObject* limits) { return unwrap<damiao::MitLimits>(limits); });
}

PyResult<Damiao> convert_driver(const Arguments& matched) {
    auto motor_id = to_u16(matched[0], "motor_id");
    if (!motor_id) {
        return std::unexpected(std::move(motor_id.error()));
    }
    auto master_id = to_u16(matched[1], "master_id");
    if (!master_id) {
        return std::unexpected(std::move(master_id.error()));
    }
    auto limits = convert_limits(matched[2]);
    if (!limits) {
        return std::unexpected(std::move(limits.error()));
    }
    auto timeout_ms = matched[3] == nullptr ? PyResult<std::uint64_t>(kDefaultTimeoutMs)
                                            : to_u64(matched[3], "timeout_ms");
    if (!timeout_ms) {
        return std::unexpected(std::move(timeout_ms.error()));
    }
    return Damiao(*motor_id, *master_id, *limits, transport::Duration::from_millis(*timeout_ms));
}

PyResult<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return match_arguments(kNewSignature, args, kwargs)
        .and_then(convert_driver)
        .and_then([type](const Damiao& driver) { return wrap(type, driver); });
}

PyResult<PyRef> repr(PyObject* self) {
    const Damiao& driver = unwrap<Damiao>(self);
    ReprText text;
    text << "Damiao(motor_id=";
    text.hex(driver.motor_id()) << ", master_id=";
    text.hex(driver.master_id()) << ")";
    return text.to_python();
}

PyResult<PyRef> motor_id(PyObject* self, void*) {
    return result_object(PyLong_FromLong(unwrap<Damiao>(self).motor_id()));
}
PyResult<PyRef> master_id(PyObject* self, void*) {
    return result_object(PyLong_FromLong(unwrap<Damiao>(self).master_id()));
}

// --- commands --------------------------------------------------------------

PyResult<PyObject*> convert_bus(PyObject* given) {
    return socketcan_transport_type().and_then([given](PyTypeObject* type) {
        return to_instance(given, "bus", type, "SocketCanTransport");
    });
}

// Runs one driver operation on the locked bus; its error becomes a Python
// error once the bus is free. A wait that a signal ended runs the signal
// handlers then, and an exception that one raises is what the command
// raises.
template <class T, class Operation>
PyResult<T> on_bus(PyObject* bus, Operation&& operation) {
    auto result = with_locked_bus(bus, std::forward<Operation>(operation));
    if (!result) {
        if (interrupted_wait(result.error()) && !run_deferred_signal_handlers()) {
            return already_set();
        }
        return std::unexpected(dm_err_to_py(std::move(result.error())));
    }
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*result);
    }
}

PyResult<PyRef> state_result(PyResult<damiao::MotorState> state) {
    return state.and_then(new_motor_state);
}

constexpr std::array<std::string_view, 1> kBusParams = {"bus"};
constexpr std::array<std::string_view, 2> kBusSetpointParams = {"bus", "setpoint"};

using SpecialCommand = damiao::Result<damiao::MotorState> (Damiao::*)(CanTransport&) const;

template <SpecialCommand Command, const Signature& Sig>
PyResult<PyRef> special(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    auto bus = match_arguments(Sig, args, nargs, kwnames).and_then([](const Arguments& matched) {
        return convert_bus(matched[0]);
    });
    if (!bus) {
        return std::unexpected(std::move(bus.error()));
    }
    const Damiao& driver = unwrap<Damiao>(self);
    return state_result(on_bus<damiao::MotorState>(
        *bus, [&](CanTransport& transport) { return (driver.*Command)(transport); }));
}

constexpr Signature kEnable{"Damiao.enable()", kBusParams, 1};
constexpr Signature kDisable{"Damiao.disable()", kBusParams, 1};
constexpr Signature kSetZero{"Damiao.set_zero()", kBusParams, 1};
constexpr Signature kClearError{"Damiao.clear_error()", kBusParams, 1};
constexpr Signature kMitControl{"Damiao.mit_control()", kBusSetpointParams, 2};
constexpr Signature kControl{"Damiao.control()", kBusSetpointParams, 2};
constexpr Signature kEnsureMitMode{"Damiao.ensure_mit_mode()", kBusParams, 1};

// Matches (bus, setpoint), checks bus, then copies the setpoint out of an
// instance of `setpoint_type`.
template <class Setpoint>
PyResult<std::pair<PyObject*, Setpoint>> bus_and_setpoint(
    const Signature& signature, PyResult<PyTypeObject*> (*setpoint_type)(),
    std::string_view type_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto matched = match_arguments(signature, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    auto bus = convert_bus((*matched)[0]);
    if (!bus) {
        return std::unexpected(std::move(bus.error()));
    }
    return setpoint_type()
        .and_then([&](PyTypeObject* type) {
            return to_instance((*matched)[1], "setpoint", type, type_name);
        })
        .transform([&](PyObject* setpoint) {
            return std::pair<PyObject*, Setpoint>(*bus, unwrap<Setpoint>(setpoint));
        });
}

PyResult<PyRef> mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    auto call = bus_and_setpoint<damiao::MitSetpoint>(kMitControl, mit_setpoint_type, "MitSetpoint",
                                                      args, nargs, kwnames);
    if (!call) {
        return std::unexpected(std::move(call.error()));
    }
    const Damiao& driver = unwrap<Damiao>(self);
    return state_result(on_bus<damiao::MotorState>(call->first, [&](CanTransport& transport) {
        return driver.mit_control(transport, call->second);
    }));
}

PyResult<PyRef> control(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    auto call = bus_and_setpoint<damiao::ControlSetpoint>(kControl, control_setpoint_type,
                                                          "ControlSetpoint", args, nargs, kwnames);
    if (!call) {
        return std::unexpected(std::move(call.error()));
    }
    const Damiao& driver = unwrap<Damiao>(self);
    return state_result(on_bus<damiao::MotorState>(call->first, [&](CanTransport& transport) {
        return driver.control(transport, call->second);
    }));
}

PyResult<PyRef> ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    constexpr std::uint8_t kMitMode = 1;
    auto bus = match_arguments(kEnsureMitMode, args, nargs, kwnames)
                   .and_then([](const Arguments& matched) { return convert_bus(matched[0]); });
    if (!bus) {
        return std::unexpected(std::move(bus.error()));
    }
    const Damiao& driver = unwrap<Damiao>(self);
    return on_bus<void>(*bus,
                        [&](CanTransport& transport) {
                            return driver.ensure_control_mode(transport, kMitMode);
                        })
        .transform([] { return PyRef::borrow(Py_None); });
}

constexpr int kCommandFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"enable", fastcall_entry<special<&Damiao::enable, kEnable>>(), kCommandFlags,
     "enable($self, bus)\n--\n\n"},
    {"disable", fastcall_entry<special<&Damiao::disable, kDisable>>(), kCommandFlags,
     "disable($self, bus)\n--\n\n"},
    {"set_zero", fastcall_entry<special<&Damiao::set_zero, kSetZero>>(), kCommandFlags,
     "set_zero($self, bus)\n--\n\n"},
    {"clear_error", fastcall_entry<special<&Damiao::clear_error, kClearError>>(), kCommandFlags,
     "clear_error($self, bus)\n--\n\n"},
    {"mit_control", fastcall_entry<mit_control>(), kCommandFlags,
     "mit_control($self, bus, setpoint)\n--\n\n"},
    {"control", fastcall_entry<control>(), kCommandFlags,
     "control($self, bus, setpoint)\n--\n\n"
     "Unified send: dispatches to MIT / POS_VEL / VEL / FORCE_POS based on\n"
     "the `ControlSetpoint` variant. The motor must already be in the\n"
     "matching control mode (use `ensure_mit_mode()` or write register 10)."},
    {"ensure_mit_mode", fastcall_entry<ensure_mit_mode>(), kCommandFlags,
     "ensure_mit_mode($self, bus)\n--\n\n"
     "Force the firmware into MIT control mode (register 10 = 1). Some\n"
     "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
     "silently ignored."},
    {},
};

PyGetSetDef kGetters[] = {
    {"motor_id", entry<motor_id>, nullptr, nullptr, nullptr},
    {"master_id", entry<master_id>, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Damiao>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_doc,
     const_cast<char*>("Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n")},
    {},
};

PyType_Spec kSpec{"axiolink.Damiao", sizeof(Wrapper<Damiao>), 0, kClassFlags, kSlots};

}  // namespace

PyResult<PyTypeObject*> damiao_type() {
    return type_once(g_type, kSpec);
}

}  // namespace axiolink::python
