#pragma once
// Opening the interface and reaching motors through the driver, with every
// failure turned into a line of text and what to check.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/driver.hpp"
#include "dmctl/cli.hpp"
#include "transport/socketcan_backend.hpp"

namespace axiolink::dmctl {

// Opens `settings.iface` and refuses an interface that is down. An interface
// that is up without carrier (a controller that is bus-off) only gets a
// warning on standard error, since some adapters report carrier late.
std::expected<transport::SocketCanTransport, Failure> open_bus(const Settings& settings);

// What went wrong in `what` ("motor 0x01: read register 10"), and what to
// check for that error. `command_exchange` adds the checks that only apply
// to command frames answered at the master id (master id, control mode).
Failure bus_failure(const Settings& settings, std::string_view what, const damiao::Error& error,
                    std::uint16_t motor_id, bool command_exchange = false);

// A driver record for register access only: the master id and limits play no
// part in register reads and writes.
damiao::Damiao register_access(const Settings& settings, std::uint16_t motor_id);

// Reads one register, as a Failure with checks when it fails.
std::expected<damiao::RegisterValue, Failure> read_checked(const Settings& settings,
                                                           transport::CanTransport& bus,
                                                           std::uint16_t motor_id,
                                                           std::uint8_t number);

// The driver record for command exchanges with `motor_id`: the master id is
// `master` or read from register 7, the limits are those of `preset` or read
// from registers 21 to 23 (position, velocity and torque ranges).
std::expected<damiao::Damiao, Failure> motor_for_commands(const Settings& settings,
                                                          transport::CanTransport& bus,
                                                          std::uint16_t motor_id,
                                                          std::optional<std::uint16_t> master,
                                                          std::optional<std::string_view> preset);

// The ids among `ids` at which a motor answers a read of its own id
// (register 8) with that id. Time-outs mean "no motor"; other failures end
// the search.
std::expected<std::vector<std::uint16_t>, Failure> find_motors(
    const Settings& settings, transport::CanTransport& bus, const std::vector<std::uint16_t>& ids);

// The limits of a named model preset (any case); a usage failure listing the
// names.
std::expected<damiao::MitLimits, Failure> preset_limits(std::string_view name);
std::string preset_names();

}  // namespace axiolink::dmctl
