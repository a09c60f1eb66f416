#include "damiao/modes.hpp"

#include <bit>
#include <cstddef>

namespace axiolink::damiao {
namespace {

constexpr float kVelocityLimitMax = 100.0F;
constexpr float kVelocityLimitScale = 100.0F;
constexpr float kTorqueRatioMax = 1.0F;
constexpr float kTorqueRatioScale = 10000.0F;
constexpr std::uint16_t kScaledCap = 10000;

void put_u16_le(FrameBytes& bytes, std::size_t at, std::uint16_t value) noexcept {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8U);
}

void put_float_le(FrameBytes& bytes, std::size_t at, float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    put_u16_le(bytes, at, static_cast<std::uint16_t>(bits));
    put_u16_le(bytes, at + 2, static_cast<std::uint16_t>(bits >> 16U));
}

// Clamps to [0, max], scales in single precision and truncates; NaN gives 0.
std::uint16_t scale_to_u16(float value, float max, float scale) noexcept {
    if (value < 0.0F) {
        value = 0.0F;
    }
    if (value > max) {
        value = max;
    }
    const float scaled = value * scale;
    if (!(scaled > 0.0F)) {
        return 0;
    }
    if (scaled >= static_cast<float>(kScaledCap)) {
        return kScaledCap;
    }
    return static_cast<std::uint16_t>(scaled);
}

struct ModeFrameBuilder {
    const MitLimits& limits;

    std::expected<FrameBytes, InvalidLimit> operator()(const MitSetpoint& setpoint) const noexcept {
        return encode(limits, setpoint);
    }

    std::expected<FrameBytes, InvalidLimit> operator()(
        const PosVelSetpoint& setpoint) const noexcept {
        FrameBytes bytes{};
        put_float_le(bytes, 0, setpoint.position);
        put_float_le(bytes, 4, setpoint.velocity);
        return bytes;
    }

    std::expected<FrameBytes, InvalidLimit> operator()(const VelSetpoint& setpoint) const noexcept {
        FrameBytes bytes{};
        put_float_le(bytes, 0, setpoint.velocity);
        return bytes;
    }

    std::expected<FrameBytes, InvalidLimit> operator()(
        const ForcePosSetpoint& setpoint) const noexcept {
        FrameBytes bytes{};
        put_float_le(bytes, 0, setpoint.position);
        put_u16_le(bytes, 4,
                   scale_to_u16(setpoint.velocity_limit, kVelocityLimitMax, kVelocityLimitScale));
        put_u16_le(bytes, 6,
                   scale_to_u16(setpoint.torque_ratio, kTorqueRatioMax, kTorqueRatioScale));
        return bytes;
    }
};

}  // namespace

std::expected<FrameBytes, InvalidLimit> encode_mode_frame(
    const MitLimits& limits, const ControlSetpoint& setpoint) noexcept {
    return std::visit(ModeFrameBuilder{limits}, setpoint);
}

}  // namespace axiolink::damiao
