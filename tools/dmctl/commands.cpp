#include "dmctl/commands.hpp"

#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "damiao/driver.hpp"
#include "dmctl/bus.hpp"
#include "dmctl/json.hpp"
#include "dmctl/monitor.hpp"
#include "dmctl/registers.hpp"
#include "dmctl/state_report.hpp"
#include "support/number_text.hpp"

namespace axiolink::dmctl {
namespace {

using damiao::Damiao;
using damiao::MotorState;
using damiao::RegisterValue;

// What `scan` reads of every motor that answers, and where each lands in
// FoundMotor::details.
constexpr std::array<std::uint8_t, 5> kScanDetailRegisters{7, 10, 21, 22, 23};
enum ScanDetail : std::size_t { kMaster, kMode, kPMax, kVMax, kTMax };

std::expected<void, Failure> expect_positional(const ParsedArgs& args, std::size_t count,
                                               std::string_view subcommand,
                                               std::string_view synopsis) {
    if (args.positional.size() != count) {
        return usage_error(std::string(subcommand) + ": expected " + std::string(synopsis) + " (" +
                           std::to_string(args.positional.size()) + " argument" +
                           (args.positional.size() == 1 ? "" : "s") + " given)");
    }
    return {};
}

// Exactly `count` positional arguments, the first of them a motor id.
std::expected<std::uint16_t, Failure> motor_argument(const ParsedArgs& args, std::size_t count,
                                                     std::string_view subcommand,
                                                     std::string_view synopsis) {
    if (auto ok = expect_positional(args, count, subcommand, synopsis); !ok) {
        return std::unexpected(ok.error());
    }
    return parse_motor_id(args.positional[0]);
}

std::expected<std::uint8_t, Failure> register_argument(std::string_view text) {
    const auto number = parse_register(text);
    if (!number) {
        return usage_error(
            "register '" + std::string(text) +
            "' is neither a number from 0 to 255 nor a name: " + damiao::register_name_list());
    }
    return *number;
}

void register_json(Json& json, std::uint8_t number, const RegisterValue& value) {
    const auto name = register_name(number);
    json.field("register", number);
    if (name) {
        json.field("name", name->name).field("unit", name->unit);
    }
    json.field("type", damiao::register_type_name(value.type)).field("raw", value.payload);
    if (value.type == damiao::RegisterType::Float) {
        json.field("value", float_of(value));
    } else {
        json.field("value", value.payload);
    }
    if (number == damiao::kControlModeRegister) {
        json.field("control_mode_name", mode_name(value.payload));
    }
}

// ------------------------------------------------------------------ scan

struct FoundMotor {
    std::uint16_t motor_id;
    std::array<std::optional<RegisterValue>, kScanDetailRegisters.size()> details;
};

Outcome run_scan(const Settings& settings, const ParsedArgs& args) {
    if (auto ok = expect_positional(args, 0, "scan", "no arguments"); !ok) {
        return ok;
    }
    const auto given_ids = args.all("--ids");
    const auto ids = parse_id_lists(given_ids, kDefaultScanIds);
    if (!ids) {
        return std::unexpected(ids.error());
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    const auto answering = find_motors(settings, *bus, *ids);
    if (!answering) {
        return std::unexpected(answering.error());
    }
    std::vector<FoundMotor> found;
    for (const std::uint16_t id : *answering) {
        const Damiao motor = register_access(settings, id);
        FoundMotor motor_found{id, {}};
        for (std::size_t i = 0; i < kScanDetailRegisters.size(); ++i) {
            if (const auto value = motor.read_register(*bus, kScanDetailRegisters[i])) {
                motor_found.details[i] = *value;
            }
        }
        found.push_back(motor_found);
    }
    std::string range;
    for (const std::string_view text : given_ids) {
        range += (range.empty() ? "" : ",") + std::string(text);
    }
    if (range.empty()) {
        range = kDefaultScanIds;
    }
    if (found.empty()) {
        Failure failure{
            kExitFailure,
            "no motor answered on " + settings.iface + " (ids " + range + ", " +
                std::to_string(settings.timeout_ms) + " ms each)",
            {"power: the motors need their own supply; the USB adapter does not "
             "power them",
             "the bitrate: the motors ship at 1 Mbit/s; `ip -details -statistics "
             "link show " +
                 settings.iface + "`",
             "the wiring: CAN-H to CAN-H, CAN-L to CAN-L, 120 ohm termination at "
             "both ends",
             "other ids: --ids 1-0x7FF scans them all (about " +
                 std::to_string((0x7FF * settings.timeout_ms + 999) / 1000) + " s)",
             "the interface: is " + settings.iface + " the adapter the motors are on (--iface)?"}};
        return std::unexpected(failure);
    }
    if (settings.json) {
        Json json;
        json.begin_object().field("iface", std::string_view(settings.iface)).key("motors");
        json.begin_array();
        for (const FoundMotor& motor : found) {
            json.begin_object().field("motor_id", motor.motor_id);
            const auto& d = motor.details;
            const auto uint_field = [&](std::string_view name, const auto& value) {
                value ? json.field(name, value->payload) : json.key(name).null();
            };
            const auto float_field = [&](std::string_view name, const auto& value) {
                value ? json.field(name, float_of(*value)) : json.key(name).null();
            };
            uint_field("master_id", d[kMaster]);
            uint_field("control_mode", d[kMode]);
            json.field("control_mode_name", d[kMode] ? mode_name(d[kMode]->payload) : "");
            float_field("p_max", d[kPMax]);
            float_field("v_max", d[kVMax]);
            float_field("t_max", d[kTMax]);
            json.end_object();
        }
        json.end_array().end_object();
        print_line(json.text());
        return {};
    }
    print_line(padded("ID", 6) + padded("MASTER", 7) + padded("MODE", 14) + padded("P_MAX", 10) +
               padded("V_MAX", 10) + "T_MAX");
    for (const FoundMotor& motor : found) {
        const auto& d = motor.details;
        const auto text_of = [&](ScanDetail i) {
            return d[i] ? value_text(kScanDetailRegisters[i], *d[i]) : std::string("?");
        };
        print_line(padded(id_text(motor.motor_id), 6) +
                   padded(d[kMaster] ? id_text(d[kMaster]->payload) : "?", 7) +
                   padded(text_of(kMode), 14) + padded(text_of(kPMax), 10) +
                   padded(text_of(kVMax), 10) + text_of(kTMax));
    }
    return {};
}

// ------------------------------------------------------------------ info

Outcome run_info(const Settings& settings, const ParsedArgs& args) {
    const auto id = motor_argument(args, 1, "info", "ID");
    if (!id) {
        return std::unexpected(id.error());
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    const Damiao motor = register_access(settings, *id);
    Json json;
    json.begin_object().field("motor_id", *id).key("registers").begin_array();
    std::vector<std::string> lines;
    std::optional<damiao::Error> first_error;
    std::size_t answered = 0;
    for (const RegisterName& entry : kRegisterNames) {
        const auto info = damiao::find_register(entry.number);
        const auto value = motor.read_register(*bus, entry.number);
        json.begin_object();
        if (value) {
            ++answered;
            register_json(json, entry.number, *value);
        } else {
            json.field("register", entry.number)
                .field("name", entry.name)
                .field("unit", entry.unit)
                .field("type", damiao::register_type_name(info->type))
                .key("value")
                .null()
                .field("error", value.error().message());
            if (!first_error) {
                first_error = value.error();
            }
        }
        json.field("writable", info->writable).field("meaning", entry.meaning).end_object();
        std::array<char, 8> number{};
        std::snprintf(number.data(), number.size(), "%3u", entry.number);
        lines.push_back(std::string(number.data()) + " " + padded(entry.name, 13) +
                        padded(value ? value_text(entry.number, *value) : "(no answer)", 18) +
                        padded(info->writable ? "rw" : "ro", 3) + std::string(entry.meaning));
    }
    json.end_array().end_object();
    if (answered == 0) {
        return std::unexpected(bus_failure(
            settings, "motor " + id_text(*id) + ": no register answered", *first_error, *id));
    }
    if (settings.json) {
        print_line(json.text());
    } else {
        print_line("motor " + id_text(*id) + " on " + settings.iface + ":");
        for (const std::string& line : lines) {
            print_line(line);
        }
    }
    if (first_error) {
        const std::string what = "motor " + id_text(*id) + ": some registers did not answer";
        Failure failure = bus_failure(settings, what, *first_error, *id);
        failure.result_printed = true;
        return std::unexpected(failure);
    }
    return {};
}

// ------------------------------------------------------------------ mode

Outcome run_mode(const Settings& settings, const ParsedArgs& args) {
    const auto id = motor_argument(args, 2, "mode", "ID MODE");
    if (!id) {
        return std::unexpected(id.error());
    }
    const auto mode = parse_mode(args.positional[1]);
    if (!mode) {
        return usage_error("mode '" + std::string(args.positional[1]) +
                           "' is not one of mit, pos_vel, vel, force_pos (or 1 to 4)");
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    const auto before = read_checked(settings, *bus, *id, damiao::kControlModeRegister);
    if (!before) {
        return std::unexpected(before.error());
    }
    const Damiao motor = register_access(settings, *id);
    if (auto ensured = motor.ensure_control_mode(*bus, *mode); !ensured) {
        return std::unexpected(bus_failure(
            settings, "motor " + id_text(*id) + ": switching to " + std::string(mode_name(*mode)),
            ensured.error(), *id));
    }
    // ensure_control_mode read the register afresh: it decides what happened,
    // while `before` names where the motor came from.
    const bool switched = before->payload != *mode;
    if (settings.json) {
        Json json;
        json.begin_object()
            .field("motor_id", *id)
            .field("control_mode", *mode)
            .field("control_mode_name", mode_name(*mode))
            .field("previous", before->payload)
            .field("previous_name", mode_name(before->payload))
            .field("switched", switched)
            .end_object();
        print_line(json.text());
    } else if (switched) {
        print_line("motor " + id_text(*id) + ": control mode " + std::string(mode_name(*mode)) +
                   " (switched from " + value_text(damiao::kControlModeRegister, *before) +
                   ", verified)");
    } else {
        print_line("motor " + id_text(*id) + ": control mode " + std::string(mode_name(*mode)) +
                   " (it was already)");
    }
    return {};
}

// ------------------------------------------------------------ read / write

void print_register(const Settings& settings, std::uint16_t id, std::uint8_t number,
                    const RegisterValue& value, std::optional<RegisterValue> written) {
    if (settings.json) {
        Json json;
        json.begin_object().field("motor_id", id);
        register_json(json, number, value);
        if (written) {
            json.field("written", written->payload);
        }
        json.end_object();
        print_line(json.text());
        return;
    }
    const auto name = register_name(number);
    print_line("motor " + id_text(id) + " register " + std::to_string(number) +
               (name ? " " + std::string(name->name) : std::string()) + " = " +
               value_text(number, value) + (written ? " (written and read back)" : ""));
}

Outcome run_read(const Settings& settings, const ParsedArgs& args) {
    const auto id = motor_argument(args, 2, "read", "ID REGISTER");
    if (!id) {
        return std::unexpected(id.error());
    }
    const auto number = register_argument(args.positional[1]);
    if (!number) {
        return std::unexpected(number.error());
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    const auto value = read_checked(settings, *bus, *id, *number);
    if (!value) {
        return std::unexpected(value.error());
    }
    print_register(settings, *id, *number, *value, std::nullopt);
    return {};
}

// Before an id register (7 master id, 8 motor id) of `motor_id` is set to
// `value`: the rules that need the bus. A new motor id must keep its command
// ids off the motor's own master id, which is read for that; and unless
// `no_scan`, no other motor found among `scan_ids` (and the ids where a
// clash by command ids could hide) may be commanded or answer where the new
// id would put this motor's frames.
Outcome check_id_change(const Settings& settings, transport::CanTransport& bus,
                        std::uint16_t motor_id, std::uint8_t number, std::string_view given,
                        std::uint32_t value, const std::vector<std::uint16_t>& scan_ids,
                        bool no_scan) {
    const std::string self = "motor " + id_text(motor_id);
    if (number == damiao::kMotorIdRegister) {
        const auto master = read_checked(settings, bus, motor_id, damiao::kMasterIdRegister);
        if (!master) {
            return std::unexpected(master.error());
        }
        const damiao::MotorIds ids{motor_id, static_cast<std::uint16_t>(master->payload & 0x7FFU)};
        if (const auto why = value_refusal(ids, number, {damiao::RegisterType::Uint32, value})) {
            return std::unexpected(
                Failure{kExitFailure,
                        self + ": " + why->text("'" + std::string(given) + "'", number),
                        {"the master id is the motor's register 7: change it first (`dmctl write " +
                         id_text(motor_id) + " master_id ...`), or choose another motor id"}});
        }
    }
    const std::string where = id_text(value);
    if (no_scan) {
        std::fprintf(stderr,
                     "dmctl: warning: --no-scan: not checked whether another motor is commanded "
                     "or answers at %s\n",
                     where.c_str());
        return {};
    }
    std::vector<std::uint16_t> ids = scan_ids;
    for (const std::uint16_t candidate : clash_candidates(number, value)) {
        if (std::ranges::find(ids, candidate) == ids.end()) {
            ids.push_back(candidate);
        }
    }
    std::erase(ids, motor_id);
    const auto found = find_motors(settings, bus, ids);
    if (!found) {
        return std::unexpected(found.error());
    }
    for (const std::uint16_t other : *found) {
        const auto master = read_checked(settings, bus, other, damiao::kMasterIdRegister);
        if (!master) {
            return std::unexpected(master.error());
        }
        const BusMotor seen{other, static_cast<std::uint16_t>(master->payload & 0x7FFU)};
        if (const auto clash = id_clash(motor_id, number, value, seen)) {
            return std::unexpected(
                Failure{kExitFailure,
                        self + ": register " + std::to_string(number) + " not written: " + *clash,
                        {"`dmctl --iface " + settings.iface +
                             " scan` lists the motors with their master ids: choose an id none of "
                             "them is commanded or answers at",
                         "--no-scan writes without looking at the other motors"}});
        }
    }
    return {};
}

Outcome run_write(const Settings& settings, const ParsedArgs& args) {
    const auto id = motor_argument(args, 3, "write", "ID REGISTER VALUE");
    if (!id) {
        return std::unexpected(id.error());
    }
    const auto number = register_argument(args.positional[1]);
    if (!number) {
        return std::unexpected(number.error());
    }
    const std::string_view given = args.positional[2];
    // A register outside the table has no type to parse the value by: let the
    // driver refuse it with its own words.
    const auto info = damiao::find_register(*number);
    std::optional<RegisterValue> value;
    if (info) {
        value = parse_value(*info, given);
        if (!value) {
            return usage_error("value '" + std::string(given) + "' is not " +
                               std::string(damiao::value_kind(*info)) + " for register " +
                               std::to_string(*number));
        }
        if (const auto why = value_refusal({*id, std::nullopt}, *number, *value)) {
            return usage_error(why->text("'" + std::string(given) + "'", *number));
        }
    }
    const bool id_register =
        *number == damiao::kMasterIdRegister || *number == damiao::kMotorIdRegister;
    const auto scan_ids = parse_id_lists(args.all("--ids"), kDefaultScanIds);
    if (!scan_ids) {
        return std::unexpected(scan_ids.error());
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    if (id_register) {
        if (auto clear = check_id_change(settings, *bus, *id, *number, given, value->payload,
                                         *scan_ids, args.has("--no-scan"));
            !clear) {
            return clear;
        }
    }
    const Damiao motor = register_access(settings, *id);
    const std::string what =
        "motor " + id_text(*id) + ": writing register " + std::to_string(*number);
    if (auto written = motor.write_register(*bus, *number, value.value_or(RegisterValue{}));
        !written) {
        return std::unexpected(bus_failure(settings, what, written.error(), *id));
    }
    // The write is not answered in a way the driver waits for: the value read
    // back after the motor's settling time shows whether it was taken.
    damiao::ThreadSleeper().sleep_for(damiao::kModeSettlingDelay);
    const auto back = read_checked(settings, *bus, *id, *number);
    if (!back) {
        return std::unexpected(back.error());
    }
    if (back->payload != value->payload) {
        return std::unexpected(
            Failure{kExitFailure,
                    what + ": wrote " + value_text(*number, *value) + ", motor reports " +
                        value_text(*number, *back),
                    {"is the motor enabled? some registers take writes only while it is disabled "
                     "(`dmctl disable " +
                     id_text(*id) + "`)"}});
    }
    print_register(settings, *id, *number, *back, value);
    return {};
}

// ------------------------------------------------------- special commands

struct SpecialCommand {
    std::string_view name;
    damiao::Result<MotorState> (Damiao::*send)(transport::CanTransport&) const;
    // A failed exchange is followed by a disable: an enable whose answer went
    // astray (a wrong master id sends it elsewhere) may still have been taken.
    bool disable_on_failure = false;
};

// Sends the disable after a failed enable and says how it went. A disable
// only ever stops the motor driving, so it is safe whatever state the motor
// is in.
std::string disable_after_failure(const Damiao& motor, transport::CanTransport& bus) {
    const std::string target = "a disable to motor " + id_text(motor.motor_id());
    const auto state = motor.disable(bus);
    if (state) {
        return "sent " + target + ", in case it took the enable: " + state_text(*state);
    }
    const auto* failed = std::get_if<damiao::Error::Transport>(&state.error().detail());
    if (failed != nullptr && failed->error.kind() == transport::TransportError::Kind::Timeout) {
        return "sent " + target + ", in case it took the enable (no answer to it either)";
    }
    return "tried " + target + ", in case it took the enable: " + state.error().message();
}

Outcome run_special(const Settings& settings, const ParsedArgs& args,
                    const SpecialCommand& command) {
    const auto id = motor_argument(args, 1, command.name, "ID");
    if (!id) {
        return std::unexpected(id.error());
    }
    std::optional<std::uint16_t> master;
    if (const auto text = args.last("--master")) {
        const auto parsed = parse_motor_id(*text, "master id");
        if (!parsed) {
            return std::unexpected(parsed.error());
        }
        master = *parsed;
    }
    const auto preset = args.last("--preset");
    if (preset) {
        if (auto known = preset_limits(*preset); !known) {
            return std::unexpected(known.error());
        }
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    const auto motor = motor_for_commands(settings, *bus, *id, master, preset);
    if (!motor) {
        return std::unexpected(motor.error());
    }
    const auto state = ((*motor).*command.send)(*bus);
    if (!state) {
        Failure failure = bus_failure(settings,
                                      "motor " + id_text(*id) + ": " + std::string(command.name) +
                                          " (answer at " + id_text(motor->master_id()) + ")",
                                      state.error(), *id, true);
        if (command.disable_on_failure) {
            failure.undone = disable_after_failure(*motor, *bus);
        }
        return std::unexpected(failure);
    }
    if (settings.json) {
        Json json;
        json.begin_object()
            .field("command", command.name)
            .field("motor_id", *id)
            .field("master_id", motor->master_id())
            .key("state");
        state_json(json, *state);
        json.end_object();
        print_line(json.text());
    } else {
        print_line("motor " + id_text(*id) + " " + std::string(command.name) + ": " +
                   state_text(*state));
    }
    return {};
}

constexpr SpecialCommand kEnable{"enable", &Damiao::enable, true};
constexpr SpecialCommand kDisable{"disable", &Damiao::disable};
constexpr SpecialCommand kZero{"zero", &Damiao::set_zero};
constexpr SpecialCommand kClear{"clear", &Damiao::clear_error};

Outcome run_enable(const Settings& s, const ParsedArgs& a) {
    return run_special(s, a, kEnable);
}
Outcome run_disable(const Settings& s, const ParsedArgs& a) {
    return run_special(s, a, kDisable);
}
Outcome run_zero(const Settings& s, const ParsedArgs& a) {
    return run_special(s, a, kZero);
}
Outcome run_clear(const Settings& s, const ParsedArgs& a) {
    return run_special(s, a, kClear);
}

constexpr OptionRule kScanOptions[] = {{"--ids", true}};
constexpr OptionRule kWriteOptions[] = {{"--ids", true}, {"--no-scan", false}};
constexpr OptionRule kSpecialOptions[] = {{"--master", true}, {"--preset", true}};
constexpr OptionRule kMonitorOptions[] = {{"--motor", true},
                                          {"--duration", true},
                                          {"--interval", true},
                                          {"--lines", false},
                                          {"--ids", true},
                                          {"--hold", false},
                                          {"--kp", true},
                                          {"--kd", true},
                                          {"--rate", true}};

constexpr std::string_view kSpecialDetails = R"(
The master id (the id the motor answers at) is read from register 7 unless
--master gives it; the limits that decode the answer are read from registers
21 to 23 unless --preset names the motor model.

Options:
  --master ID     the motor's master id, skipping the register read
  --preset NAME   decode the answer with this model's limits (dm4310, ...))";

constexpr std::string_view kEnableDetails = R"(
The master id (the id the motor answers at) is read from register 7 unless
--master gives it; the limits that decode the answer are read from registers
21 to 23 unless --preset names the motor model. An enable that fails (no
answer, e.g. at a wrong master id) is followed by a disable, in case the
motor took it; the exit status is 1 all the same.

Options:
  --master ID     the motor's master id, skipping the register read
  --preset NAME   decode the answer with this model's limits (dm4310, ...))";

const Subcommand kSubcommands[] = {
    {"scan", "[--ids LIST]", "find the motors that answer and list their ids, mode and limits",
     R"(
Reads register 8 (the motor's own id) of every id in LIST, each with the
--timeout-ms wait, and lists the motors whose answer names that id, with
their master id, control mode and MIT ranges. Only register reads are
sent: nothing moves. Exit status 1 when no motor answers.

Options:
  --ids LIST      ids to try: 1-32 (default), 0x01-0x10, 1,3,5-7; repeatable)",
     kScanOptions, run_scan},
    {"info",
     "ID",
     "every register of one motor, named, with units",
     R"(
Reads every register dmctl knows and prints number, name, value with its
unit, rw (writable) or ro (read-only) and meaning.)",
     {},
     run_info},
    {"mode",
     "ID mit|pos_vel|vel|force_pos",
     "switch the control mode and verify it",
     R"(
Reads register 10 and, when it differs, writes the new mode, waits 100 ms
and reads it back; says whether it switched. A motor obeys only the
setpoint frames of its mode and ignores the others.)",
     {},
     run_mode},
    {"read",
     "ID REGISTER",
     "read one register",
     R"(
REGISTER is a number or a name (master_id, motor_id, timeout, control_mode,
hw_version, fw_version, p_max, v_max, t_max); `dmctl info ID` lists them.)",
     {},
     run_read},
    {"write", "ID REGISTER VALUE [--ids LIST] [--no-scan]", "write one register and read it back",
     R"(
VALUE is typed by the register: a number for Float registers (p_max 12.5),
decimal or 0x hex for the others, a mode name for control_mode. The value is
written, and read back after 100 ms; exit status 1 if the motor reports
another value. Values are not saved in the motor's flash.

Values that would make a motor take frames meant for something else are
refused (exit status 2): motor id 0, a master id of 0x7FF or at one of the
motor's own command ids (ID, 0x100+ID, 0x200+ID, 0x300+ID), p_max, v_max and
t_max beyond twice any model's range (30, 600, 400). Before master_id or
motor_id is written, the bus is scanned, and an id at which another motor
is commanded or answers is refused (exit status 1).

Options:
  --ids LIST      ids to scan before an id is written (default 1-32; the ids
                  a clash of command ids could hide at are always added)
  --no-scan       write master_id or motor_id without the scan (a warning))",
     kWriteOptions, run_write},
    {"enable", "ID [--master ID] [--preset NAME]", "enable the motor and print its state",
     kEnableDetails, kSpecialOptions, run_enable},
    {"disable", "ID [--master ID] [--preset NAME]", "disable the motor and print its state",
     kSpecialDetails, kSpecialOptions, run_disable},
    {"zero", "ID [--master ID] [--preset NAME]", "make the present position the zero",
     kSpecialDetails, kSpecialOptions, run_zero},
    {"clear", "ID [--master ID] [--preset NAME]", "clear a latched fault and print the state",
     kSpecialDetails, kSpecialOptions, run_clear},
    {"monitor",
     "[--motor ID[:MASTER[:PRESET]] ...] [--duration S] [--interval S] [--lines]\n"
     "       [--hold [--kp N] [--kd N] [--rate HZ]]",
     "watch the bus and print the motors' feedback",
     R"(
Listens without sending and decodes every feedback frame of the given
motors, as another program commands them. Each motor is ID:MASTER:PRESET;
a bare ID (or no --motor at all: a scan of --ids) is completed from the
motor's registers. On a terminal one table is redrawn every --interval
seconds (default 0.2); otherwise, or with --lines, a line per motor that
sent feedback since the last (default every 1 s). With --json, one JSON
object per line. Ends after --duration seconds, or on Ctrl-C / SIGTERM.

With --hold, monitor commands the motors instead of listening: each must be
in MIT mode; it enables them one by one and holds each at the position it
answered with (an MIT setpoint with --kp and --kd, no velocity, no torque),
all of them with one group cycle per period: every command out, then every
answer. Each line also counts the cycles a motor missed. At the end every
motor is disabled; exit status 1 if one did not answer that.

Options:
  --motor M       a motor to watch (ID or ID:MASTER:PRESET); repeatable
  --ids LIST      ids to scan when no --motor is given (default 1-32)
  --duration S    stop after S seconds
  --interval S    seconds between updates
  --lines         lines even on a terminal
  --hold          enable the motors and hold them where they are
  --kp N          --hold's stiffness, N*m/rad (default 5, at most 500)
  --kd N          --hold's damping, N*m*s/rad (default 0.5, at most 5)
  --rate HZ       --hold's cycles per second (default 200, 1 to 2000))",
     kMonitorOptions, run_monitor},
};

}  // namespace

std::span<const Subcommand> subcommands() noexcept {
    return kSubcommands;
}

void print_line(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace axiolink::dmctl
