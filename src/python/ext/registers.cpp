#include "ext/registers.hpp"

#include <array>
#include <cerrno>
#include <mutex>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "damiao/driver.hpp"
#include "damiao/register_names.hpp"
#include "ext/axiolink_types.hpp"
#include "ext/motor_error.hpp"
#include "socketcan_transport.hpp"
#include "support/number_text.hpp"
#include "types.hpp"

namespace axiolink::python::ext {
namespace {

using damiao::Damiao;
using damiao::RegisterValue;

struct MotorOnBus {
    const Damiao* driver;
    PyObject* bus;
};

PyResult<MotorOnBus> motor_on_bus(const Arguments& matched) {
    auto motor = to_instance(matched[0], "motor", axiolink_types().damiao, "Damiao");
    if (!motor) {
        return std::unexpected(std::move(motor.error()));
    }
    auto bus = to_instance(matched[1], "bus", axiolink_types().transport, "SocketCanTransport");
    if (!bus) {
        return std::unexpected(std::move(bus.error()));
    }
    return MotorOnBus{&unwrap<Damiao>(*motor), *bus};
}

// Runs `operation` on the bus with its lock held, as axiolink's own commands
// do: with the interpreter lock held throughout, so that no bus lock is ever
// waited for without it while another waits the other way round. A failure
// becomes a MotorError, unless a signal handler raised meanwhile (Ctrl-C):
// then that exception is what the call raises.
template <class T, class Operation>
PyResult<T> on_bus(const MotorOnBus& target, Operation&& operation) {
    PyRef keep_alive = PyRef::borrow(target.bus);
    GuardedTransport& guarded = unwrap<GuardedTransport>(target.bus);
    damiao::Result<T> result = [&] {
        const std::lock_guard hold(guarded.lock);
        return operation(guarded.transport);
    }();
    if (result) {
        if constexpr (std::is_void_v<T>) {
            return {};
        } else {
            return *result;
        }
    }
    const auto* failed = std::get_if<damiao::Error::Transport>(&result.error().detail());
    if (failed != nullptr && failed->error == transport::TransportError::backend(EINTR) &&
        (PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0)) {
        return already_set();
    }
    return motor_failure(target.driver->motor_id(), result.error());
}

// A small number given as an int from `low` to `high`, or as text that
// `parse` reads (a name, or the number in decimal or 0x hex); nothing when it
// is neither. `param` names the argument in the TypeError for other types.
PyResult<std::optional<std::uint8_t>> named_or_numbered(
    PyObject* given, std::string_view param,
    std::optional<std::uint8_t> (*parse)(std::string_view) noexcept, long low, long high) {
    if (PyUnicode_Check(given)) {
        return to_str(given, param).transform(parse);
    }
    if (!PyLong_Check(given)) {
        return error_value(PyExc_TypeError, std::string(param) + ": expected int or str, got '" +
                                                Py_TYPE(given)->tp_name + "'");
    }
    const long wide = PyLong_AsLong(given);
    if (wide == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // beyond a long: out of range as well
        return std::nullopt;
    }
    if (wide < low || wide > high) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(wide);
}

// A ValueError with the text `complaint` makes of repr(given).
template <class Complaint>
std::unexpected<Failure> refused(PyObject* given, Complaint&& complaint) {
    PyRef shown = PyRef::steal(PyObject_Repr(given));
    const char* text = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (text == nullptr) {
        return already_set();
    }
    return error_value(PyExc_ValueError, complaint(std::string_view(text)));
}

// A ValueError "{what} {repr(given)} {complaint}".
std::unexpected<Failure> refused(std::string_view what, PyObject* given,
                                 const std::string& complaint) {
    return refused(given, [&](std::string_view shown) {
        return std::string(what) + " " + std::string(shown) + " " + complaint;
    });
}

// A register by number (0 to 255) or by name ("p_max", any case).
PyResult<std::uint8_t> register_number(PyObject* given) {
    auto number = named_or_numbered(given, "register", damiao::parse_register, 0, 0xFF);
    if (!number) {
        return std::unexpected(std::move(number.error()));
    }
    if (!*number) {
        return refused("register", given,
                       "is neither a register name nor a number from 0 to 255; the names: " +
                           damiao::register_name_list());
    }
    return **number;
}

PyResult<PyRef> value_object(const RegisterValue& value) {
    if (value.type == damiao::RegisterType::Float) {
        return result_object(PyFloat_FromDouble(static_cast<double>(damiao::float_of(value))));
    }
    return result_object(PyLong_FromUnsignedLong(value.payload));
}

std::string value_text(const RegisterValue& value) {
    if (value.type == damiao::RegisterType::Float) {
        support::NumberBuffer buffer;
        return std::string(support::shortest_text(damiao::float_of(value), buffer));
    }
    return std::to_string(value.payload);
}

// A value in the register's own type, as `dmctl write` takes it: a finite
// number for a Float register, 0 to 0xFFFFFFFF for a Uint32 one, a mode
// name too for the control mode; given as a number or as the same text. The
// value rules `dmctl write` applies hold for `driver`'s ids.
PyResult<RegisterValue> register_value(const Damiao& driver, const damiao::RegisterInfo& info,
                                       PyObject* given) {
    std::optional<RegisterValue> value;
    if (PyUnicode_Check(given)) {
        auto text = to_str(given, "value");
        if (!text) {
            return std::unexpected(std::move(text.error()));
        }
        value = damiao::parse_value(info, *text);
    } else if (info.type == damiao::RegisterType::Float &&
               (PyFloat_Check(given) || PyLong_Check(given))) {
        auto number = to_float(given, "value");
        if (!number) {
            PyErr_Clear();  // an int too large for a double: not a finite number either
        } else {
            value = damiao::float_value(*number);
        }
    } else if (info.type == damiao::RegisterType::Uint32 && PyLong_Check(given)) {
        const unsigned long long wide = PyLong_AsUnsignedLongLong(given);
        if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
        } else if (wide <= 0xFFFF'FFFFULL) {
            value = RegisterValue{info.type, static_cast<std::uint32_t>(wide)};
        }
    } else {
        return error_value(PyExc_TypeError, std::string("value: expected a number or str, got '") +
                                                Py_TYPE(given)->tp_name + "'");
    }
    if (!value) {
        return refused("value", given,
                       "is not " + std::string(damiao::value_kind(info)) + " for register " +
                           std::to_string(info.number));
    }
    const damiao::MotorIds ids{driver.motor_id(), driver.master_id()};
    if (const auto why = damiao::value_refusal(ids, info.number, *value)) {
        return refused(given,
                       [&](std::string_view shown) { return why->text(shown, info.number); });
    }
    return *value;
}

// --- read_register -------------------------------------------------------------

constexpr std::array<std::string_view, 3> kReadParams = {"motor", "bus", "register"};
constexpr Signature kRead{"read_register()", kReadParams, 3};

PyResult<PyRef> read_register(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    auto matched = match_arguments(kRead, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    auto target = motor_on_bus(*matched);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    auto number = register_number((*matched)[2]);
    if (!number) {
        return std::unexpected(std::move(number.error()));
    }
    return on_bus<RegisterValue>(*target,
                                 [&](transport::CanTransport& bus) {
                                     return target->driver->read_register(bus, *number);
                                 })
        .and_then(value_object);
}

// --- write_register ------------------------------------------------------------

constexpr std::array<std::string_view, 4> kWriteParams = {"motor", "bus", "register", "value"};
constexpr Signature kWrite{"write_register()", kWriteParams, 4};

PyResult<PyRef> write_register(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    auto matched = match_arguments(kWrite, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    auto target = motor_on_bus(*matched);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    auto number = register_number((*matched)[2]);
    if (!number) {
        return std::unexpected(std::move(number.error()));
    }
    // A register outside the table has no type to take the value by: the
    // driver refuses it in its own words.
    RegisterValue value;
    if (const auto info = damiao::find_register(*number)) {
        auto given = register_value(*target->driver, *info, (*matched)[3]);
        if (!given) {
            return std::unexpected(std::move(given.error()));
        }
        value = *given;
    }
    auto back = on_bus<RegisterValue>(
        *target, [&](transport::CanTransport& bus) -> damiao::Result<RegisterValue> {
            if (auto written = target->driver->write_register(bus, *number, value); !written) {
                return std::unexpected(written.error());
            }
            // A write is not answered in a way to wait for: the value read back
            // after the motor's settling time shows whether it was taken.
            damiao::ThreadSleeper().sleep_for(damiao::kModeSettlingDelay);
            return target->driver->read_register(bus, *number);
        });
    if (!back) {
        return std::unexpected(std::move(back.error()));
    }
    if (back->payload != value.payload) {
        return motor_failure(target->driver->motor_id(),
                             "register " + std::to_string(*number) + ": wrote " +
                                 value_text(value) + ", motor reports " + value_text(*back),
                             "mismatch");
    }
    return value_object(*back);
}

// --- set_control_mode ------------------------------------------------------------

constexpr std::array<std::string_view, 3> kModeParams = {"motor", "bus", "mode"};
constexpr Signature kMode{"set_control_mode()", kModeParams, 3};

PyResult<std::uint8_t> control_mode(PyObject* given) {
    auto mode = named_or_numbered(given, "mode", damiao::parse_mode, 1, 4);
    if (!mode) {
        return std::unexpected(std::move(mode.error()));
    }
    if (!*mode) {
        return error_value(PyExc_ValueError,
                           "mode: expected 1 to 4 or 'mit', 'pos_vel', 'vel', 'force_pos'");
    }
    return **mode;
}

PyResult<PyRef> set_control_mode(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    auto matched = match_arguments(kMode, args, nargs, kwnames);
    if (!matched) {
        return std::unexpected(std::move(matched.error()));
    }
    auto target = motor_on_bus(*matched);
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }
    auto mode = control_mode((*matched)[2]);
    if (!mode) {
        return std::unexpected(std::move(mode.error()));
    }
    return on_bus<void>(*target,
                        [&](transport::CanTransport& bus) {
                            return target->driver->ensure_control_mode(bus, *mode);
                        })
        .transform([] { return PyRef::borrow(Py_None); });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"read_register", fastcall_entry<read_register>(), kFlags,
     "read_register(motor, bus, register)\n--\n\n"
     "Reads one register of `motor` (an axiolink.Damiao) on `bus`.\n\n"
     "`register` is a number or a name: master_id, motor_id, timeout,\n"
     "control_mode, hw_version, fw_version, p_max, v_max, t_max. Returns an\n"
     "int, or a float for p_max, v_max and t_max. Raises MotorError when the\n"
     "motor does not answer within its timeout or the register is not one of\n"
     "these."},
    {"write_register", fastcall_entry<write_register>(), kFlags,
     "write_register(motor, bus, register, value)\n--\n\n"
     "Writes one register, waits 100 ms and reads it back.\n\n"
     "`value` is taken as `dmctl write` takes it: a finite number for p_max,\n"
     "v_max and t_max, 0 to 0xFFFFFFFF for the others, and a mode name too for\n"
     "control_mode; as a number or as text. Returns the value read back.\n"
     "ValueError for a value the register cannot hold, or one that `dmctl\n"
     "write` refuses too: motor id 0, a master id of 0x7FF or at one of the\n"
     "motor's own command ids, a motor id commanded at 0x7FF or at the\n"
     "motor's master id, ranges above 30, 600 and 400. MotorError for a\n"
     "read-only or unknown register, a motor that does not answer, or one\n"
     "that reports another value than the one written (some registers take\n"
     "writes only while the motor is disabled)."},
    {"set_control_mode", fastcall_entry<set_control_mode>(), kFlags,
     "set_control_mode(motor, bus, mode)\n--\n\n"
     "Switches `motor` to a control mode and verifies it.\n\n"
     "`mode` is 1 to 4 or 'mit', 'pos_vel', 'vel', 'force_pos' (any case).\n"
     "Reads the control-mode register; when it differs, writes the mode,\n"
     "waits 100 ms and reads it back. Raises MotorError when a read goes\n"
     "unanswered or the motor reports another mode afterwards."},
    {},
};

}  // namespace

PyMethodDef* register_functions() noexcept {
    return kFunctions;
}

}  // namespace axiolink::python::ext
