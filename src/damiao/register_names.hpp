#pragma once
// What people call the registers of the driver's table, and how a register
// and a typed value are given in text: shared by every front end that lets a
// person name a register (the command-line tool, the Python companion).
// Pure functions and constants; thread-safe.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
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
// What a value `parse_value` refused should have been, for messages: "a
// finite number", "a number from 0 to 0xFFFFFFFF", or for the control mode
// "one of mit, pos_vel, vel, force_pos (or 1 to 4)".
std::string_view value_kind(const RegisterInfo& info) noexcept;

// "master_id, motor_id, timeout, ...": every register name, for messages.
std::string register_name_list();

inline constexpr std::uint8_t kMasterIdRegister = 7;
inline constexpr std::uint8_t kMotorIdRegister = 8;
// Register requests and their answers travel at this standard id.
inline constexpr std::uint16_t kRegisterRequestId = 0x7FF;

// The standard ids whose frames a motor with `motor_id` obeys: MIT frames and
// the special commands at its id, POS_VEL, VEL and FORCE_POS frames 0x100,
// 0x200 and 0x300 above it, each cut to 11 bits as the frames are. Index k
// is the frames of control mode k + 1.
constexpr std::array<std::uint16_t, 4> command_ids(std::uint32_t motor_id) noexcept {
    std::array<std::uint16_t, 4> ids{};
    for (std::uint32_t k = 0; k < ids.size(); ++k) {
        ids[k] = static_cast<std::uint16_t>((motor_id + k * 0x100U) & 0x7FFU);
    }
    return ids;
}

// The widest p_max, v_max and t_max a register write may set. No model's
// preset comes near them: each is twice the widest preset's value, rounded up
// to a round number (p_max 12.566 rad, v_max 280 rad/s, t_max 200 N·m), so a
// model with somewhat wider ranges still fits, while a slip of the keyboard
// (1e30, 100000) is caught before every MIT value is scaled into nonsense.
inline constexpr float kPMaxBound = 30.0F;
inline constexpr float kVMaxBound = 600.0F;
inline constexpr float kTMaxBound = 400.0F;

// The motor a register value is meant for: its id and, when known, the id it
// answers at. Both are compared in 11 bits, as frames carry them.
struct MotorIds {
    std::uint16_t motor_id = 0;
    std::optional<std::uint16_t> master_id;
};

// Why a value must not go into a register: what it must be and why, e.g.
// {"an id from 0 to 0x7FF", "the motor cannot take it"}.
struct ValueRefusal {
    std::string must_be;
    std::string reason;

    // "value {shown} is not {must_be} for register {number}; {reason}"
    std::string text(std::string_view shown, std::uint8_t number) const;
};

// Refuses values the motor cannot take (an id beyond 11 bits, a mode outside
// 1 to 4, a range that is not positive or wider than the bounds above) and
// ids that would make the motor take frames meant for something else: a
// motor id of 0, command ids at 0x7FF (where register requests go) or at its
// own master id, a master id of 0x7FF or at one of its own command ids. The
// check of a motor id against the master id needs `motor.master_id`; without
// it that check is left out. nullopt when the value may be written.
std::optional<ValueRefusal> value_refusal(const MotorIds& motor, std::uint8_t number,
                                          const RegisterValue& value);

}  // namespace axiolink::damiao
