#pragma once
// Setpoints for the motor's four control modes and their command frames.

#include <cstdint>
#include <expected>
#include <variant>

#include "damiao/mit.hpp"

namespace axiolink::damiao {

struct PosVelSetpoint {
    float position = 0.0F;
    float velocity = 0.0F;
};
struct VelSetpoint {
    float velocity = 0.0F;
};
struct ForcePosSetpoint {
    float position = 0.0F;
    float velocity_limit = 0.0F;  // clamped to [0, 100], sent in units of 0.01
    float torque_ratio = 0.0F;    // clamped to [0, 1], sent in units of 0.0001
};

// Variant index + 1 is the control mode number held in register 10:
// 1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS.
using ControlSetpoint = std::variant<MitSetpoint, PosVelSetpoint, VelSetpoint, ForcePosSetpoint>;

constexpr std::uint8_t control_mode(const ControlSetpoint& setpoint) noexcept {
    return static_cast<std::uint8_t>(setpoint.index() + 1);
}

// Arbitration id offset of each mode's command frame, added to the motor id
// before the 11-bit cut.
constexpr std::uint32_t mode_id_offset(const ControlSetpoint& setpoint) noexcept {
    return static_cast<std::uint32_t>(setpoint.index()) * 0x100U;
}

// The 8 data bytes of the setpoint's mode frame. Only MIT can fail (invalid
// limits); the other modes pack any float.
std::expected<FrameBytes, InvalidLimit> encode_mode_frame(const MitLimits& limits,
                                                          const ControlSetpoint& setpoint) noexcept;

}  // namespace axiolink::damiao
