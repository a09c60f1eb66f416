#include "emulator/options.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ranges>

#include "damiao/mit.hpp"
#include "support/number_parse.hpp"
#include "support/quoted.hpp"

namespace axiolink::emulator {
namespace {

constexpr std::uint32_t kMaxStandardId = 0x7FF;
constexpr std::uint32_t kMaxMotorId = 0xFFFF;
constexpr std::uint32_t kMaxDelayMs = 600'000;
constexpr double kMaxDurationSeconds = 1e9;
constexpr std::uint32_t kMaxBitrate = 8'000'000;
constexpr std::uint32_t kMaxWireMicros = 1'000'000;

using Error = std::unexpected<std::string>;

using support::quoted;

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (const auto part : std::views::split(text, separator)) {
        parts.emplace_back(part.begin(), part.end());
    }
    return parts;
}

std::expected<MotorConfig, std::string> parse_motor(std::string_view text) {
    const auto fail = [&](std::string_view why) {
        return Error("--motor " + quoted(text) + ": " + std::string(why));
    };
    const auto parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 4) {
        return fail("expected ID:MASTER[:PRESET[:MODE]]");
    }
    MotorConfig motor;
    const auto motor_id = support::parse_unsigned(parts[0], kMaxMotorId);
    if (!motor_id) {
        return fail("motor id " + quoted(parts[0]) + " is not a number from 0 to 0xFFFF");
    }
    const auto master_id = support::parse_unsigned(parts[1], kMaxMotorId);
    if (!master_id) {
        return fail("master id " + quoted(parts[1]) + " is not a number from 0 to 0xFFFF");
    }
    motor.motor_id = static_cast<std::uint16_t>(*motor_id);
    motor.master_id = static_cast<std::uint16_t>(*master_id);
    if (parts.size() >= 3) {
        const damiao::MitLimitsPreset* preset = damiao::find_preset(parts[2]);
        if (preset == nullptr) {
            return fail("unknown preset " + quoted(parts[2]));
        }
        motor.preset = preset->name;
        motor.limits = preset->limits;
    } else {
        motor.preset = "dm4310";
        motor.limits = damiao::MitLimits{};
    }
    if (parts.size() == 4) {
        const auto mode = support::parse_unsigned(parts[3], 4);
        if (!mode || *mode < 1) {
            return fail("control mode " + quoted(parts[3]) + " is not 1, 2, 3 or 4");
        }
        motor.control_mode = *mode;
    }
    return motor;
}

struct FaultSwitch {
    std::string text;  // as given, for messages
    std::optional<std::uint16_t> motor_id;
    std::string_view name;
    std::optional<std::string_view> value;
};

// Sets one fault; the message is for the argument's own error line.
std::expected<void, std::string> apply_fault(const FaultSwitch& fault, Faults& faults) {
    const auto fail = [&](std::string_view why) {
        return Error("--fault " + quoted(fault.text) + ": " + std::string(why));
    };
    struct Flag {
        std::string_view name;
        bool Faults::*field;
    };
    static constexpr Flag kFlags[] = {
        {"silent", &Faults::silent},
        {"extended-reply", &Faults::extended_reply},
        {"ignore-writes", &Faults::ignore_writes},
        {"register-junk", &Faults::register_junk},
    };
    for (const Flag& flag : kFlags) {
        if (fault.name == flag.name) {
            if (fault.value) {
                return fail(std::string(flag.name) + " takes no value");
            }
            faults.*flag.field = true;
            return {};
        }
    }
    struct Valued {
        std::string_view name;
        std::uint32_t max;
        std::string_view range;
    };
    static constexpr Valued kValued[] = {
        {"delay", kMaxDelayMs, "milliseconds from 0 to 600000"},
        {"noise", Faults::kMaxNoise, "a count from 0 to 16"},
        {"short-reply", 7, "a length from 0 to 7"},
        {"report-mode", 0xFFFF'FFFFU, "a number from 0 to 0xFFFFFFFF"},
        {"register-reply-id", kMaxStandardId, "a standard id from 0 to 0x7FF"},
        {"register-reply-motor-id", kMaxMotorId, "a motor id from 0 to 0xFFFF"},
        {"overheat-after", kMaxDelayMs, "milliseconds from 0 to 600000"},
    };
    const auto known = std::ranges::find(kValued, fault.name, &Valued::name);
    if (known == std::end(kValued)) {
        return fail("unknown fault " + quoted(fault.name));
    }
    if (!fault.value) {
        return fail(std::string(fault.name) + " needs a value: " + std::string(known->range));
    }
    const auto value = support::parse_unsigned(*fault.value, known->max);
    if (!value) {
        return fail(std::string(fault.name) + " must be " + std::string(known->range));
    }
    if (fault.name == "delay") {
        faults.delay_ms = *value;
    } else if (fault.name == "noise") {
        faults.noise = *value;
    } else if (fault.name == "short-reply") {
        faults.short_reply = static_cast<std::uint8_t>(*value);
    } else if (fault.name == "report-mode") {
        faults.report_mode = *value;
    } else if (fault.name == "register-reply-id") {
        faults.register_reply_id = static_cast<std::uint16_t>(*value);
    } else if (fault.name == "overheat-after") {
        faults.overheat_after_ms = *value;
    } else {
        faults.register_reply_motor_id = static_cast<std::uint16_t>(*value);
    }
    return {};
}

std::expected<FaultSwitch, std::string> parse_fault(std::string_view text) {
    FaultSwitch fault{std::string(text), std::nullopt, text, std::nullopt};
    std::string_view rest = text;
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        const auto motor_id = support::parse_unsigned(rest.substr(at + 1), kMaxMotorId);
        if (!motor_id) {
            return Error("--fault " + quoted(text) + ": motor id " + quoted(rest.substr(at + 1)) +
                         " is not a number from 0 to 0xFFFF");
        }
        fault.motor_id = static_cast<std::uint16_t>(*motor_id);
        rest = rest.substr(0, at);
    }
    if (const auto equals = rest.find('='); equals != std::string_view::npos) {
        fault.value = rest.substr(equals + 1);
        rest = rest.substr(0, equals);
    }
    fault.name = rest;
    return fault;
}

std::optional<std::uint64_t> parse_duration(std::string_view text) {
    double seconds = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
        !(seconds > 0.0) || seconds > kMaxDurationSeconds) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(std::llround(seconds * 1e9));
}

// Walks the arguments: `--name value` or `--name=value`.
class ArgumentReader {
public:
    explicit ArgumentReader(std::span<const std::string_view> args) : args_(args) {}

    bool done() const { return next_ >= args_.size(); }
    std::string_view take_name() {
        std::string_view arg = args_[next_++];
        inline_value_.reset();
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
            inline_value_ = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        return arg;
    }
    std::expected<std::string_view, std::string> take_value(std::string_view name) {
        if (inline_value_) {
            return *inline_value_;
        }
        if (done()) {
            return Error("option " + quoted(name) + " needs a value");
        }
        return args_[next_++];
    }
    bool has_inline_value() const { return inline_value_.has_value(); }

private:
    std::span<const std::string_view> args_;
    std::size_t next_ = 0;
    std::optional<std::string_view> inline_value_;
};

}  // namespace

std::expected<Options, std::string> parse_options(std::span<const std::string_view> args) {
    Options options;
    if (std::ranges::any_of(args, [](std::string_view a) { return a == "--help" || a == "-h"; })) {
        options.help = true;
        return options;
    }
    std::vector<FaultSwitch> faults;
    bool wire_timing_given = false;
    ArgumentReader reader(args);
    while (!reader.done()) {
        const std::string_view name = reader.take_name();
        if (name == "--log") {
            if (reader.has_inline_value()) {
                return Error("option '--log' takes no value");
            }
            options.log = true;
            continue;
        }
        if (name != "--iface" && name != "--motor" && name != "--fault" && name != "--ready-file" &&
            name != "--duration" && name != "--bitrate" && name != "--reaction-us" &&
            name != "--adapter-latency-us") {
            return Error(name.starts_with("-") ? "unknown option " + quoted(name)
                                               : "unexpected argument " + quoted(name));
        }
        const auto value = reader.take_value(name);
        if (!value) {
            return Error(value.error());
        }
        if (name == "--iface") {
            if (value->empty()) {
                return Error("--iface needs an interface name");
            }
            options.iface = *value;
        } else if (name == "--motor") {
            auto motor = parse_motor(*value);
            if (!motor) {
                return Error(motor.error());
            }
            options.motors.push_back(*motor);
        } else if (name == "--fault") {
            auto fault = parse_fault(*value);
            if (!fault) {
                return Error(fault.error());
            }
            faults.push_back(std::move(*fault));
        } else if (name == "--ready-file") {
            options.ready_file = std::string(*value);
        } else if (name == "--bitrate") {
            const auto bitrate = support::parse_unsigned(*value, kMaxBitrate);
            if (!bitrate || *bitrate == 0) {
                return Error("--bitrate " + quoted(*value) +
                             ": expected bits per second from 1 to 8000000");
            }
            options.bitrate = *bitrate;
        } else if (name == "--reaction-us" || name == "--adapter-latency-us") {
            const auto micros = support::parse_unsigned(*value, kMaxWireMicros);
            if (!micros) {
                return Error(std::string(name) + " " + quoted(*value) +
                             ": expected microseconds from 0 to 1000000");
            }
            (name == "--reaction-us" ? options.reaction_nanos : options.adapter_latency_nanos) =
                std::uint64_t{*micros} * 1000;
            wire_timing_given = true;
        } else {
            options.duration_nanos = parse_duration(*value);
            if (!options.duration_nanos) {
                return Error("--duration " + quoted(*value) +
                             ": expected a positive number of seconds");
            }
        }
    }
    if (options.iface.empty()) {
        return Error("--iface is required");
    }
    if (options.motors.empty()) {
        return Error("at least one --motor is required");
    }
    if (wire_timing_given && !options.bitrate) {
        return Error("--reaction-us and --adapter-latency-us need --bitrate");
    }
    for (std::size_t i = 0; i < options.motors.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (options.motors[i].motor_id == options.motors[j].motor_id) {
                return Error("motor id " + std::to_string(options.motors[i].motor_id) +
                             " is given twice");
            }
        }
    }
    // Faults for all motors first, so a motor's own switches override them.
    for (const FaultSwitch& fault : faults) {
        if (fault.motor_id && std::ranges::find(options.motors, *fault.motor_id,
                                                &MotorConfig::motor_id) == options.motors.end()) {
            return Error("--fault " + quoted(fault.text) + ": no --motor has id " +
                         std::to_string(*fault.motor_id));
        }
    }
    for (const bool per_motor : {false, true}) {
        for (const FaultSwitch& fault : faults) {
            if (fault.motor_id.has_value() != per_motor) {
                continue;
            }
            for (MotorConfig& motor : options.motors) {
                if (!fault.motor_id || *fault.motor_id == motor.motor_id) {
                    if (auto applied = apply_fault(fault, motor.faults); !applied) {
                        return Error(applied.error());
                    }
                }
            }
        }
    }
    return options;
}

std::string usage_text() {
    std::string presets;
    for (const auto& preset : damiao::kMitLimitsPresets) {
        presets += presets.empty() ? "" : " ";
        presets += preset.name;
    }
    return R"(Usage: dm-emulator --iface IFACE --motor ID:MASTER[:PRESET[:MODE]] [--motor ...]
                   [--fault FAULT[@ID] ...] [--ready-file PATH] [--log]
                   [--duration SECONDS]
                   [--bitrate BPS [--reaction-us US] [--adapter-latency-us US]]

Plays Damiao motors on a SocketCAN interface: each answers its command frames
of the control mode in register 10, and its special commands, with one
feedback frame at its master id, and answers register requests at id 0x7FF:
7 master id, 8 motor id, 9 time-out, 10 control mode, 13 and 14 hardware
and firmware version, 21 to 23 the preset's p_max, v_max and t_max. Writes
are echoed and kept; only the control mode changes what the motor does.
When the interface goes down the motors wait, and answer again once it is up.

Options:
  --iface IFACE         CAN interface, e.g. vcan0 (required)
  --motor MOTOR         one motor, ID:MASTER[:PRESET[:MODE]]: motor id and
                        master id (0 to 0xFFFF, decimal or 0x hex), model
                        preset (default dm4310) and control mode 1 MIT,
                        2 POS_VEL, 3 VEL, 4 FORCE_POS (default 1); repeatable
  --fault FAULT[@ID]    misbehave on purpose: the motor of id ID, or every
                        motor without @ID; repeatable. FAULT is one of
      silent                  answer nothing (commands still act)
      delay=MS                send every answer MS milliseconds late
      noise=N                 send N (up to 16) frames at other standard ids
                              before every answer
      extended-reply          answer at the Extended id of the master id's value
      short-reply=LEN         cut every answer to LEN (0 to 7) bytes
      ignore-writes           echo register writes without applying them
      report-mode=V           register 10 reads report V
      register-reply-id=ID    answer register requests at standard id ID
      register-reply-motor-id=ID
                              put ID in bytes 0-1 of register answers
      register-junk           before each register read answer, send a 7-byte
                              frame and one with byte 2 = 0x55
      overheat-after=MS       latch the overheat fault (status 11) MS
                              milliseconds after the motor was first enabled
  --ready-file PATH     create PATH, holding the process id, once the socket
                        is bound; removed at exit
  --log                 print every frame received and sent on stderr
  --duration SECONDS    exit after SECONDS
  --bitrate BPS         time the bus as a CAN wire of BPS bits per second
                        (default: every frame instant): each frame takes
                        its exact bits, stuff bits and inter-frame space
                        included, one frame at a time for every motor and
                        every command received, lowest id first
  --reaction-us US      with --bitrate: a motor answers US microseconds
                        after a command has left the wire (default 0)
  --adapter-latency-us US
                        with --bitrate: a USB adapter between host and wire,
                        US microseconds each way (default 0)
  -h, --help            print this text and exit
  --version             print the version and exit

Presets: )" +
           presets +
           R"(

Feedback error code: 0 disabled, 1 enabled, 0xB driver stage overheated
(latched, disables the motor; clear error clears it).

Exit status: 0 after --duration, SIGINT or SIGTERM; 1 when the interface
cannot be used; 2 for bad options.
)";
}

}  // namespace axiolink::emulator
