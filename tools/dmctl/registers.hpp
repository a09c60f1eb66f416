#pragma once
// What dmctl knows about the registers of the driver's table beyond their
// shared names and value parsing: how a value reads to a person.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/driver.hpp"
#include "damiao/register_names.hpp"

namespace axiolink::dmctl {

using damiao::float_of;
using damiao::kRegisterNames;
using damiao::mode_name;
using damiao::parse_mode;
using damiao::parse_register;
using damiao::parse_value;
using damiao::register_name;
using damiao::RegisterName;
using damiao::value_refusal;

// A motor found on the bus: the id it is commanded at and the id it answers at.
struct BusMotor {
    std::uint16_t motor_id;
    std::uint16_t master_id;
};

// The ids at which a motor that clashes with `value` in id register `number`
// (7 or 8) by its command ids could be found, besides the usual scan: the
// motors whose command ids include the new master id, or share one with the
// new motor id.
std::vector<std::uint16_t> clash_candidates(std::uint8_t number, std::uint32_t value);

// Why `value` in id register `number` (7 master id, 8 motor id) of motor
// `motor_id` would clash with `other`, a motor elsewhere on the bus: the new
// master id is one of its command ids or its master id, or the new motor id
// shares a command id with it or is commanded at its master id. The text
// names the other motor by both its ids; nullopt when they do not clash.
std::optional<std::string> id_clash(std::uint16_t motor_id, std::uint8_t number,
                                    std::uint32_t value, const BusMotor& other);

// The value as a person reads it: "17 (0x11)", "3 (VEL)", "12.5 rad".
std::string value_text(std::uint8_t number, const damiao::RegisterValue& value);

// The meaning of a feedback error code: "disabled", "enabled",
// "over-voltage", ...; "unknown code" for codes the firmware does not define.
std::string_view status_text(std::uint8_t error) noexcept;

}  // namespace axiolink::dmctl
