#pragma once
// What people call the registers of the driver's table, and how a register
// and a typed value are given in text: shared by every front end that lets a
// person name a register (the command-line tool, the Python companion).
// Pure functions and constants; thread-safe.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "damiao/driver.hpp"

namespace axiolink::damiao {

struct RegisterName {
    std::uint8_t number;
    std::string_view name;     // what users type: `dmctl read 1 p_max`
    std::string_view unit;     // empty when the value has none
    std::string_view meaning;  // one line for `info` and the help
};

// One entry per register of the driver's table, in the same order.
inline constexpr std::array<RegisterName, kRegisterTable.size()> kRegisterNames{{
    {7, "master_id", "", "id the motor answers at (its feedback id)"},
    {8, "motor_id", "", "the motor's own CAN id"},
    {9, "timeout", "ticks", "command time-out of the firmware, 0 = off"},
    {kControlModeRegister, "control_mode", "", "1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS"},
    {13, "hw_version", "", "hardware version"},
    {14, "fw_version", "", "firmware version"},
    {21, "p_max", "rad", "position range of MIT frames and feedback, +-p_max"},
    {22, "v_max", "rad/s", "velocity range of MIT frames and feedback, +-v_max"},
    {23, "t_max", "N·m", "torque range of MIT frames and feedback, +-t_max"},
}};

// The names describe exactly the driver's table.
static_assert([] {
    for (std::size_t i = 0; i < kRegisterTable.size(); ++i) {
        if (kRegisterNames[i].number != kRegisterTable[i].number) {
            return false;
        }
    }
    return true;
}());

std::optional<RegisterName> register_name(std::uint8_t number) noexcept;
// A register named (any case) or numbered (decimal or 0x hex, up to 0xFF).
// Numbers outside the table pass, so that the driver refuses them itself.
std::optional<std::uint8_t> parse_register(std::string_view text) noexcept;

// "MIT", "POS_VEL", "VEL", "FORCE_POS"; empty for any other number.
std::string_view mode_name(std::uint32_t mode) noexcept;
// "mit", "pos_vel", "vel", "force_pos" (any case) or 1 to 4.
std::optional<std::uint8_t> parse_mode(std::string_view text) noexcept;

// The value of a Float register: the payload's IEEE-754 bits.
float float_of(const RegisterValue& value) noexcept;
// The register value of `number` for a float: finite values only.
std::optional<RegisterValue> float_value(float number) noexcept;
// Parses a value for `info` in the register's own type: a finite number for
// a Float register, 0 to 0xFFFFFFFF (decimal or 0x hex) for a Uint32 one, and
// a mode name too for the control mode; nullopt when the text is not one.
std::optional<RegisterValue> parse_value(const RegisterInfo& info, std::string_view text) noexcept;
// What a refused value should have been, for messages: "finite number" or
// "number from 0 to 0xFFFFFFFF".
std::string_view value_kind(const RegisterInfo& info) noexcept;
// What a value for register `number` must be when the motor cannot take
// `value` (an id above 0x7FF, a mode outside 1 to 4, a range that is not
// positive), e.g. "an id from 0 to 0x7FF"; nullopt when it can.
std::optional<std::string_view> value_refusal(std::uint8_t number,
                                              const RegisterValue& value) noexcept;

}  // namespace axiolink::damiao
