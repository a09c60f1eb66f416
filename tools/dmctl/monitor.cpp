#include "dmctl/monitor.hpp"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ranges>
#include <string>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/group.hpp"
#include "dmctl/bus.hpp"
#include "dmctl/commands.hpp"
#include "dmctl/json.hpp"
#include "dmctl/registers.hpp"
#include "dmctl/state_report.hpp"
#include "transport/socketcan_bus_set.hpp"

namespace axiolink::dmctl {
namespace {

using transport::MonotonicTime;

constexpr auto kLongestWait = transport::Duration::from_millis(100);
constexpr double kTableInterval = 0.2;
constexpr double kLineInterval = 1.0;
constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void request_stop(int) {
    g_stop = 1;
}

// Without SA_RESTART, so that a signal ends the socket's wait at once.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

struct Watched {
    damiao::Damiao driver;
    damiao::MotorState last{};
    std::uint64_t frames = 0;
    std::uint64_t frames_at_report = 0;
    std::uint64_t missed = 0;  // --hold: cycles without this motor's answer
};

// --hold: every motor kept where it was when enabled, with one group cycle
// per period.
struct Hold {
    float kp = 5.0F;
    float kd = 0.5F;
    double rate_hz = 200.0;
};

constexpr double kMaxHoldRate = 2000.0;

std::expected<float, Failure> parse_gain(std::string_view text, std::string_view option,
                                         float most) {
    const auto value = parse_seconds(text, option);
    if (!value || *value > most) {
        return usage_error(std::string(option) + " '" + std::string(text) +
                           "' is not a number from 0 to " + std::to_string(static_cast<int>(most)));
    }
    return static_cast<float>(*value);
}

std::expected<std::optional<Hold>, Failure> parse_hold(const ParsedArgs& args) {
    if (!args.has("--hold")) {
        for (const std::string_view option : {"--kp", "--kd", "--rate"}) {
            if (args.has(option)) {
                return usage_error(std::string(option) + " is an option of --hold");
            }
        }
        return std::nullopt;
    }
    if (args.all("--motor").empty()) {
        return usage_error("--hold needs the motors named with --motor: it enables them");
    }
    const damiao::MitLimits gains;
    Hold hold;
    const auto kp = parse_gain(args.last("--kp").value_or("5"), "--kp", gains.kp_max);
    if (!kp) {
        return std::unexpected(kp.error());
    }
    const auto kd = parse_gain(args.last("--kd").value_or("0.5"), "--kd", gains.kd_max);
    if (!kd) {
        return std::unexpected(kd.error());
    }
    const auto rate = parse_seconds(args.last("--rate").value_or("200"), "--rate");
    if (!rate || *rate < 1.0 || *rate > kMaxHoldRate) {
        return usage_error("--rate '" + std::string(args.last("--rate").value_or("")) +
                           "' is not a number of cycles per second from 1 to 2000");
    }
    hold.kp = *kp;
    hold.kd = *kd;
    hold.rate_hz = *rate;
    return hold;
}

// A special command that `motor` did not answer, worded as `dmctl enable` does.
Failure command_failure(const Settings& settings, const damiao::Damiao& motor,
                        std::string_view command, const damiao::Error& error) {
    return bus_failure(settings,
                       "motor " + id_text(motor.motor_id()) + ": " + std::string(command) +
                           " (answer at " + id_text(motor.master_id()) + ")",
                       error, motor.motor_id(), true);
}

// Disables every motor, each with its own exchange; says on standard error
// which did not answer. False when any did not.
bool disable_all(const Settings& settings, transport::CanTransport& bus,
                 std::span<const Watched> motors) {
    bool all = true;
    for (const Watched& motor : motors) {
        if (const auto state = motor.driver.disable(bus); !state) {
            all = false;
            const Failure failure =
                command_failure(settings, motor.driver, "disable", state.error());
            std::fprintf(stderr, "dmctl: %s\n", failure.message.c_str());
        }
    }
    return all;
}

// --hold's start: every motor in MIT mode, then enabled, its setpoint the
// position it answered with. A motor that fails leaves the ones enabled
// before it disabled again.
std::expected<std::vector<damiao::ControlSetpoint>, Failure> start_holding(
    const Settings& settings, transport::CanTransport& bus, std::span<Watched> motors,
    const Hold& hold) {
    for (const Watched& motor : motors) {
        const std::uint16_t id = motor.driver.motor_id();
        const auto mode = read_checked(settings, bus, id, damiao::kControlModeRegister);
        if (!mode) {
            return std::unexpected(mode.error());
        }
        if (mode->payload != 1) {
            return std::unexpected(Failure{
                kExitFailure,
                "motor " + id_text(id) + " is in " + std::string(mode_name(mode->payload)) +
                    " mode; --hold holds in MIT mode",
                {"`dmctl mode " + id_text(id) + " mit` switches it"}});
        }
    }
    std::vector<damiao::ControlSetpoint> setpoints;
    for (std::size_t i = 0; i < motors.size(); ++i) {
        Watched& motor = motors[i];
        const auto state = motor.driver.enable(bus);
        if (!state) {
            disable_all(settings, bus, motors.first(i));
            return std::unexpected(command_failure(settings, motor.driver, "enable", state.error()));
        }
        motor.last = *state;
        ++motor.frames;
        setpoints.emplace_back(damiao::MitSetpoint{state->position, 0.0F, hold.kp, hold.kd, 0.0F});
    }
    return setpoints;
}

// Sleeps until `until` on the monotonic clock, or until a signal arrives.
void sleep_until(MonotonicTime until) {
    const timespec at{static_cast<time_t>(until.nanos / kNanosPerSecond),
                      static_cast<long>(until.nanos % kNanosPerSecond)};
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
}

transport::Duration span_of(std::uint64_t nanos) {
    return {nanos / kNanosPerSecond, static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
}

double seconds_between(MonotonicTime from, MonotonicTime to) {
    return static_cast<double>(to.nanos - from.nanos) / static_cast<double>(kNanosPerSecond);
}

// A --motor text taken apart: ID[:MASTER[:PRESET]].
struct WatchSpec {
    std::uint16_t id = 0;
    std::optional<std::uint16_t> master;
    std::optional<std::string_view> preset;
};

// Checked before the bus is opened, so that a wrong --motor argument is a usage error
// whatever the state of the interface.
std::expected<WatchSpec, Failure> parse_watch_spec(std::string_view motor_text) {
    std::vector<std::string_view> parts;
    for (const auto part : std::views::split(motor_text, ':')) {
        parts.emplace_back(part.begin(), part.end());
    }
    if (parts.empty() || parts.size() > 3) {
        return usage_error("--motor '" + std::string(motor_text) +
                           "': expected ID[:MASTER[:PRESET]]");
    }
    const auto id = parse_motor_id(parts[0]);
    if (!id) {
        return std::unexpected(id.error());
    }
    std::optional<std::uint16_t> master;
    if (parts.size() >= 2) {
        const auto parsed = parse_motor_id(parts[1], "master id");
        if (!parsed) {
            return std::unexpected(parsed.error());
        }
        master = *parsed;
    }
    std::optional<std::string_view> preset;
    if (parts.size() == 3) {
        if (const auto known = preset_limits(parts[2]); !known) {
            return std::unexpected(known.error());
        }
        preset = parts[2];
    }
    return WatchSpec{*id, master, preset};
}

std::expected<Watched, Failure> watched_motor(const Settings& settings,
                                              transport::CanTransport& bus,
                                              std::string_view motor_text) {
    const auto watch = parse_watch_spec(motor_text);
    if (!watch) {
        return std::unexpected(watch.error());
    }
    const auto driver = motor_for_commands(settings, bus, watch->id, watch->master, watch->preset);
    if (!driver) {
        return std::unexpected(driver.error());
    }
    return Watched{*driver};
}

std::string line_for(const Watched& motor, double at, double rate, bool holding) {
    std::array<char, 64> head{};
    std::snprintf(head.data(), head.size(), "t=%.2fs motor %s: ", at,
                  id_text(motor.driver.motor_id()).c_str());
    std::array<char, 96> tail{};
    if (holding) {
        std::snprintf(tail.data(), tail.size(), " (%llu frames, %.1f Hz, %llu missed)",
                      static_cast<unsigned long long>(motor.frames), rate,
                      static_cast<unsigned long long>(motor.missed));
    } else {
        std::snprintf(tail.data(), tail.size(), " (%llu frames, %.1f Hz)",
                      static_cast<unsigned long long>(motor.frames), rate);
    }
    return std::string(head.data()) + state_text(motor.last) + tail.data();
}

std::string json_for(const Watched& motor, double at, double rate, bool holding) {
    Json json;
    json.begin_object()
        .field("event", "feedback")
        .field("time", static_cast<float>(at))
        .field("motor_id", motor.driver.motor_id())
        .field("master_id", motor.driver.master_id())
        .field("frames", motor.frames)
        .field("rate_hz", static_cast<float>(rate));
    if (holding) {
        json.field("missed", motor.missed);
    }
    json.key("state");
    state_json(json, motor.last);
    json.end_object();
    return json.text();
}

}  // namespace

Outcome run_monitor(const Settings& settings, const ParsedArgs& args) {
    if (!args.positional.empty()) {
        return usage_error("monitor: unexpected argument '" + std::string(args.positional[0]) +
                           "' (motors are given with --motor)");
    }
    std::optional<double> duration;
    if (const auto text = args.last("--duration")) {
        const auto parsed = parse_seconds(*text, "--duration");
        if (!parsed) {
            return std::unexpected(parsed.error());
        }
        duration = *parsed;
    }
    const bool table = !settings.json && !args.has("--lines") && ::isatty(STDOUT_FILENO) == 1;
    double interval = table ? kTableInterval : kLineInterval;
    if (const auto text = args.last("--interval")) {
        const auto parsed = parse_seconds(*text, "--interval");
        if (!parsed) {
            return std::unexpected(parsed.error());
        }
        interval = *parsed;
    }
    const auto ids = parse_id_lists(args.all("--ids"), kDefaultScanIds);
    if (!ids) {
        return std::unexpected(ids.error());
    }
    const auto hold = parse_hold(args);
    if (!hold) {
        return std::unexpected(hold.error());
    }
    const bool holding = hold->has_value();
    for (const std::string_view motor_text : args.all("--motor")) {
        if (const auto watch = parse_watch_spec(motor_text); !watch) {
            return std::unexpected(watch.error());
        }
    }
    auto bus = open_bus(settings);
    if (!bus) {
        return std::unexpected(bus.error());
    }
    std::vector<std::string> motor_texts;
    for (const std::string_view motor_text : args.all("--motor")) {
        motor_texts.emplace_back(motor_text);
    }
    if (motor_texts.empty()) {
        const auto found = find_motors(settings, *bus, *ids);
        if (!found) {
            return std::unexpected(found.error());
        }
        if (found->empty()) {
            return std::unexpected(
                Failure{kExitFailure,
                        "no motor answered on " + settings.iface + " to name the motors to watch",
                        {"give them with --motor ID:MASTER:PRESET (monitor then sends nothing)",
                         "`dmctl --iface " + settings.iface + " scan` says what does answer"}});
        }
        for (const std::uint16_t id : *found) {
            motor_texts.push_back(std::to_string(id));
        }
    }
    std::vector<Watched> motors;
    for (const std::string& motor_text : motor_texts) {
        auto motor = watched_motor(settings, *bus, motor_text);
        if (!motor) {
            return std::unexpected(motor.error());
        }
        motors.push_back(*motor);
    }

    // Made only to hold, before any motor is enabled: it refuses two motors
    // that answer at one master id, which listening tells apart by the motor
    // id in the answer.
    std::optional<damiao::MotorGroup> group;
    if (holding) {
        std::vector<damiao::GroupMember> members;
        for (const Watched& motor : motors) {
            members.push_back({motor.driver, 0});
        }
        auto made = damiao::MotorGroup::make(members, settings.timeout());
        if (!made) {
            return std::unexpected(Failure{kExitFailure, made.error().message(), {}});
        }
        group.emplace(std::move(*made));
    }
    // Caught before the motors are enabled, so that a Ctrl-C from then on
    // always reaches the disable below.
    catch_stop_signals();
    std::vector<damiao::ControlSetpoint> setpoints;
    if (holding) {
        auto started = start_holding(settings, *bus, motors, **hold);
        if (!started) {
            return std::unexpected(started.error());
        }
        setpoints = std::move(*started);
    }
    std::vector<damiao::Result<damiao::MotorState>> results(motors.size(), damiao::MotorState{});
    transport::SocketCanTransport* const bus_pointer = &*bus;
    transport::SocketCanBusSet buses({&bus_pointer, 1});

    std::string names;
    for (const Watched& motor : motors) {
        names += " " + id_text(motor.driver.motor_id()) + " (answers at " +
                 id_text(motor.driver.master_id()) + ")";
    }
    if (holding) {
        std::fprintf(stderr, "dmctl: holding%s on %s at %.0f Hz, kp %g, kd %g; Ctrl-C disables\n",
                     names.c_str(), settings.iface.c_str(), (*hold)->rate_hz,
                     static_cast<double>((*hold)->kp), static_cast<double>((*hold)->kd));
    } else {
        std::fprintf(stderr, "dmctl: watching%s on %s; Ctrl-C ends\n", names.c_str(),
                     settings.iface.c_str());
    }
    const MonotonicTime start = MonotonicTime::now();
    const auto interval_nanos = static_cast<std::uint64_t>(interval * 1e9);
    MonotonicTime next_report{start.nanos + interval_nanos};
    const auto period_nanos =
        holding ? static_cast<std::uint64_t>(1e9 / (*hold)->rate_hz) : std::uint64_t{0};
    MonotonicTime next_cycle = start;
    std::uint64_t other_frames = 0;

    // The last report shows every motor that sent anything, fresh or not.
    const auto report = [&](MonotonicTime now, bool last) {
        const double at = seconds_between(start, now);
        const double elapsed = std::max(at, 1e-9);
        if (table) {
            std::string screen = "\x1b[H\x1b[J";
            screen += "dmctl monitor on " + settings.iface + ", " +
                      std::to_string(static_cast<int>(at)) + " s; Ctrl-C ends\n";
            for (const Watched& motor : motors) {
                screen += motor.frames == 0
                              ? "motor " + id_text(motor.driver.motor_id()) + ": no feedback yet"
                              : line_for(motor, at, static_cast<double>(motor.frames) / elapsed,
                                         holding);
                screen += "\n";
            }
            std::fputs(screen.c_str(), stdout);
            std::fflush(stdout);
            return;
        }
        for (Watched& motor : motors) {
            if (motor.frames == 0 || (!last && motor.frames == motor.frames_at_report)) {
                continue;
            }
            motor.frames_at_report = motor.frames;
            const double rate = static_cast<double>(motor.frames) / elapsed;
            print_line(settings.json ? json_for(motor, at, rate, holding)
                                     : line_for(motor, at, rate, holding));
        }
    };

    for (;;) {
        MonotonicTime now = MonotonicTime::now();
        if (g_stop != 0 || (duration && seconds_between(start, now) >= *duration)) {
            break;
        }
        if (now >= next_report) {
            report(now, false);
            next_report.nanos = now.nanos + interval_nanos;
        }
        if (holding) {
            if (now < next_cycle) {
                sleep_until(std::min(next_cycle, next_report));
                continue;
            }
            group->cycle(buses, setpoints, results);
            for (std::size_t i = 0; i < motors.size(); ++i) {
                if (results[i]) {
                    motors[i].last = *results[i];
                    ++motors[i].frames;
                } else if (g_stop == 0) {
                    ++motors[i].missed;
                }
            }
            // A late cycle starts the next period from now: no burst to catch up.
            next_cycle.nanos += period_nanos;
            if (next_cycle.nanos < now.nanos) {
                next_cycle.nanos = now.nanos + period_nanos;
            }
            continue;
        }
        transport::Duration wait =
            span_of(next_report.nanos > now.nanos ? next_report.nanos - now.nanos : 0);
        if (duration) {
            wait = std::min(wait, span_of(static_cast<std::uint64_t>(std::max(
                                      0.0, (*duration - seconds_between(start, now)) * 1e9))));
        }
        const auto frame = bus->recv(std::min(wait, kLongestWait));
        if (!frame) {
            const auto& error = frame.error();
            if (error.kind() == transport::TransportError::Kind::Timeout ||
                (error.kind() == transport::TransportError::Kind::Backend &&
                 error.os_error() == EINTR)) {
                continue;
            }
            return std::unexpected(bus_failure(settings, "watching " + settings.iface,
                                               damiao::Error::Transport{error}, 0));
        }
        const bool feedback_like =
            frame->id.kind == transport::IdKind::Standard && !frame->fd && frame->data.size() == 8;
        auto motor = std::ranges::find_if(motors, [&](const Watched& m) {
            // Two motors may share a master id; the id nibble of byte 0 tells
            // their answers apart.
            return feedback_like && frame->id.value == (m.driver.master_id() & 0x7FFU) &&
                   (frame->data[0] & 0x0FU) == (m.driver.motor_id() & 0x0FU);
        });
        if (motor == motors.end()) {
            ++other_frames;
            continue;
        }
        motor->last = damiao::decode_feedback(frame->data.bytes(), motor->driver.limits());
        ++motor->frames;
    }

    const MonotonicTime end = MonotonicTime::now();
    const bool disabled = !holding || disable_all(settings, *bus, motors);
    report(end, true);
    const double elapsed = std::max(seconds_between(start, end), 1e-9);
    std::uint64_t total = 0;
    for (const Watched& motor : motors) {
        total += motor.frames;
    }
    if (settings.json) {
        Json json;
        json.begin_object().field("event", "summary").field("seconds", static_cast<float>(elapsed));
        json.field("other_frames", other_frames).key("motors").begin_array();
        for (const Watched& motor : motors) {
            json.begin_object()
                .field("motor_id", motor.driver.motor_id())
                .field("master_id", motor.driver.master_id())
                .field("frames", motor.frames)
                .field("rate_hz", static_cast<float>(static_cast<double>(motor.frames) / elapsed));
            if (holding) {
                json.field("missed", motor.missed);
            }
            json.end_object();
        }
        json.end_array().end_object();
        print_line(json.text());
    } else if (holding) {
        std::uint64_t missed = 0;
        for (const Watched& motor : motors) {
            missed += motor.missed;
        }
        std::fprintf(stderr, "dmctl: %llu answers in %.2f s, %llu missed\n",
                     static_cast<unsigned long long>(total), elapsed,
                     static_cast<unsigned long long>(missed));
    } else {
        std::fprintf(stderr, "dmctl: %llu feedback frames in %.2f s, %llu other frames\n",
                     static_cast<unsigned long long>(total), elapsed,
                     static_cast<unsigned long long>(other_frames));
    }
    if (holding) {
        if (!disabled) {
            return std::unexpected(Failure{
                kExitFailure, "a motor may still be enabled",
                {"disable it with `dmctl disable ID`, or cut its power"}, settings.json});
        }
        std::fprintf(stderr, "dmctl: disabled%s\n", names.c_str());
        return {};
    }
    if (total == 0) {
        std::fprintf(stderr,
                     "dmctl: no feedback seen: monitor only listens; is a program commanding "
                     "the motors? do the master ids match (`dmctl read ID master_id`)?\n");
    }
    return {};
}

}  // namespace axiolink::dmctl
