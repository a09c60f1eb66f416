#include "dmctl/bus.hpp"

#include <net/if.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "dmctl/registers.hpp"

namespace axiolink::dmctl {
namespace {

using damiao::Error;
using transport::TransportError;

constexpr std::uint8_t kMasterIdRegister = 7;
constexpr std::uint8_t kMotorIdRegister = 8;
constexpr std::uint8_t kPMaxRegister = 21;
constexpr std::uint8_t kVMaxRegister = 22;
constexpr std::uint8_t kTMaxRegister = 23;

std::string bring_up(const Settings& settings) {
    // Adapters sit on a bus (USB, PCI, SPI) and show it as `device`; virtual
    // interfaces (vcan, vxcan) have none and take no bitrate.
    std::error_code ignored;
    if (!std::filesystem::exists("/sys/class/net/" + settings.iface + "/device", ignored)) {
        return "bring it up: sudo ip link set " + settings.iface + " up";
    }
    return "bring it up: sudo ip link set " + settings.iface +
           " up type can bitrate 1000000 restart-ms 100 (see docs/hardware.md)";
}

std::string link_details(const Settings& settings) {
    return "`ip -details -statistics link show " + settings.iface +
           "` shows the controller state (ERROR-ACTIVE, BUS-OFF), bitrate and error counters";
}

std::vector<std::string> no_answer_checks(const Settings& settings, std::uint16_t motor_id,
                                          bool command_exchange) {
    const std::string id = id_text(motor_id);
    std::vector<std::string> checks{
        "the motor id: is " + id + " on this bus? `dmctl --iface " + settings.iface +
            " scan` lists the ids that answer",
    };
    if (command_exchange) {
        checks.push_back(
            "the master id: the motor answers at the id in its register 7 "
            "(`dmctl read " +
            id + " master_id`)");
        checks.push_back(
            "the control mode: a motor ignores setpoint frames of another mode "
            "(`dmctl read " +
            id + " control_mode`, `dmctl mode " + id + " ...`)");
    }
    checks.push_back("power: the motor needs its own supply; the USB adapter does not power it");
    checks.push_back("the bitrate: the motors ship at 1 Mbit/s; " + link_details(settings));
    checks.push_back(
        "the wiring: CAN-H to CAN-H, CAN-L to CAN-L, 120 ohm termination at both "
        "ends of the bus");
    checks.push_back("a slow answer: --timeout-ms " + std::to_string(settings.timeout_ms) +
                     " may be too short for this adapter; try --timeout-ms 100");
    return checks;
}

std::vector<std::string> backend_checks(const Settings& settings, int os_error) {
    switch (os_error) {
        case ENETDOWN:
            return {
                "the interface is down, or its controller went bus-off and stays off: " +
                    link_details(settings),
                bring_up(settings) + "; restart-ms makes a bus-off controller recover by itself"};
        case ENOBUFS:
            return {
                "the adapter's transmit queue is full: no node acknowledges the frames, so "
                "they are repeated forever",
                "power, wiring and termination of the motors, and the bitrate; " +
                    link_details(settings),
                "a burst of commands: sudo ip link set " + settings.iface + " txqueuelen 1000"};
        case ENODEV:
        case ENXIO:
            return {
                "the adapter was unplugged or its driver unloaded: `ip link show` and "
                "`dmesg | tail`"};
        case EINTR:
            return {"a signal interrupted the wait; run the command again"};
        default:
            return {link_details(settings)};
    }
}

std::vector<std::string> checks_for(const Settings& settings, const Error& error,
                                    std::uint16_t motor_id, bool command_exchange) {
    const std::string id = id_text(motor_id);
    if (const auto* failed = std::get_if<Error::Transport>(&error.detail())) {
        switch (failed->error.kind()) {
            case TransportError::Kind::Timeout:
                return no_answer_checks(settings, motor_id, command_exchange);
            case TransportError::Kind::Backend:
                return backend_checks(settings, failed->error.os_error());
            default:
                return {};
        }
    }
    if (std::holds_alternative<Error::UnknownRegister>(error.detail()) ||
        std::holds_alternative<Error::ReadOnlyRegister>(error.detail())) {
        return {"`dmctl info " + id +
                "` lists the registers with their numbers, names and whether they can be written"};
    }
    if (std::holds_alternative<Error::ShortFeedback>(error.detail())) {
        return {
            "another node answers at this motor's master id with short frames: do two "
            "devices share that id? `candump " +
            settings.iface + "` shows who sends it"};
    }
    if (std::holds_alternative<Error::ModeVerificationFailed>(error.detail())) {
        return {"the motor kept its old mode: disable it first (`dmctl disable " + id + "`)",
                "the motor's firmware may not offer that mode; `dmctl info " + id +
                    "` shows its firmware version"};
    }
    if (std::holds_alternative<Error::InvalidLimits>(error.detail())) {
        return {
            "registers p_max, v_max and t_max of the motor hold unusable limits; give the "
            "model with --preset"};
    }
    return {};
}

}  // namespace

std::expected<transport::SocketCanTransport, Failure> open_bus(const Settings& settings) {
    auto bus = transport::SocketCanTransport::open(settings.iface);
    if (!bus) {
        Failure failure{kExitFailure,
                        "cannot open CAN interface " + settings.iface + ": " +
                            transport::system_error_text(bus.error().os_error()),
                        {}};
        switch (bus.error().os_error()) {
            case ENODEV:
                failure.checks = {
                    "the name: `ip link show` lists the interfaces (--iface, "
                    "default can0)",
                    "a USB adapter: is it plugged in, and does `dmesg | tail` show "
                    "its driver (gs_usb, peak_usb) loading?"};
                break;
            case EAFNOSUPPORT:
            case EPROTONOSUPPORT:
                failure.checks = {"the kernel's CAN support: sudo modprobe can_raw"};
                break;
            default:
                failure.checks = {"is " + settings.iface +
                                  " a CAN interface? `ip -details link show " + settings.iface +
                                  "`"};
                break;
        }
        return std::unexpected(failure);
    }
    ifreq request{};
    std::strncpy(request.ifr_name, settings.iface.c_str(), IFNAMSIZ - 1);
    if (::ioctl(bus->descriptor(), SIOCGIFFLAGS, &request) == 0) {
        const auto flags = static_cast<unsigned>(request.ifr_flags);
        if ((flags & IFF_UP) == 0U) {
            return std::unexpected(Failure{kExitFailure,
                                           "CAN interface " + settings.iface + " is down",
                                           {bring_up(settings)}});
        }
        if ((flags & IFF_RUNNING) == 0U) {
            std::fprintf(stderr,
                         "dmctl: warning: %s is up but has no carrier (bus-off or stopped); "
                         "check with: ip -details -statistics link show %s\n",
                         settings.iface.c_str(), settings.iface.c_str());
        }
    }
    return std::move(*bus);
}

Failure bus_failure(const Settings& settings, std::string_view what, const Error& error,
                    std::uint16_t motor_id, bool command_exchange) {
    return Failure{kExitFailure, std::string(what) + ": " + error.message(),
                   checks_for(settings, error, motor_id, command_exchange)};
}

damiao::Damiao register_access(const Settings& settings, std::uint16_t motor_id) {
    return damiao::Damiao(motor_id, 0, {}, settings.timeout());
}

std::expected<damiao::RegisterValue, Failure> read_checked(const Settings& settings,
                                                           transport::CanTransport& bus,
                                                           std::uint16_t motor_id,
                                                           std::uint8_t number) {
    const auto value = register_access(settings, motor_id).read_register(bus, number);
    if (!value) {
        const auto name = register_name(number);
        return std::unexpected(bus_failure(
            settings,
            "motor " + id_text(motor_id) + ": reading register " + std::to_string(number) +
                (name ? " (" + std::string(name->name) + ")" : std::string()),
            value.error(), motor_id));
    }
    return *value;
}

std::expected<std::vector<std::uint16_t>, Failure> find_motors(
    const Settings& settings, transport::CanTransport& bus, const std::vector<std::uint16_t>& ids) {
    std::vector<std::uint16_t> found;
    for (const std::uint16_t id : ids) {
        // The reply is matched by its data alone, so a late answer of another
        // motor could pass for this one: the motor's own id register decides.
        const auto own_id = register_access(settings, id).read_register(bus, kMotorIdRegister);
        if (own_id) {
            if (own_id->payload == id) {
                found.push_back(id);
            }
            continue;
        }
        const auto* failed = std::get_if<Error::Transport>(&own_id.error().detail());
        if (failed == nullptr || failed->error.kind() != TransportError::Kind::Timeout) {
            return std::unexpected(
                bus_failure(settings, "scanning " + settings.iface, own_id.error(), id));
        }
    }
    return found;
}

std::expected<damiao::MitLimits, Failure> preset_limits(std::string_view name) {
    const damiao::MitLimitsPreset* preset = damiao::find_preset(name);
    if (preset == nullptr) {
        return usage_error("unknown preset '" + std::string(name) +
                           "'; presets: " + preset_names());
    }
    return preset->limits;
}

std::string preset_names() {
    std::string names;
    for (const auto& preset : damiao::kMitLimitsPresets) {
        names += (names.empty() ? "" : ", ") + std::string(preset.name);
    }
    return names;
}

std::expected<damiao::Damiao, Failure> motor_for_commands(const Settings& settings,
                                                          transport::CanTransport& bus,
                                                          std::uint16_t motor_id,
                                                          std::optional<std::uint16_t> master,
                                                          std::optional<std::string_view> preset) {
    if (!master) {
        const auto value = read_checked(settings, bus, motor_id, kMasterIdRegister);
        if (!value) {
            return std::unexpected(value.error());
        }
        master = static_cast<std::uint16_t>(value->payload & 0x7FFU);
    }
    damiao::MitLimits limits;
    if (preset) {
        const auto known = preset_limits(*preset);
        if (!known) {
            return std::unexpected(known.error());
        }
        limits = *known;
    } else {
        float* const fields[] = {&limits.p_max, &limits.v_max, &limits.t_max};
        const std::uint8_t numbers[] = {kPMaxRegister, kVMaxRegister, kTMaxRegister};
        for (std::size_t i = 0; i < std::size(numbers); ++i) {
            const auto value = read_checked(settings, bus, motor_id, numbers[i]);
            if (!value) {
                return std::unexpected(value.error());
            }
            *fields[i] = float_of(*value);
        }
    }
    return damiao::Damiao(motor_id, *master, limits, settings.timeout());
}

}  // namespace axiolink::dmctl
