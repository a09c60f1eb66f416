#include "emulator/motor_frames.hpp"

#include <bit>

namespace axiolink::emulator {
namespace {

constexpr unsigned kPositionBits = 16;
constexpr unsigned kFieldBits = 12;

std::uint32_t pack_symmetric(float value, float max, unsigned bits) noexcept {
    return damiao::pack_unsigned(value, -max, max, bits);
}

// The gains span [0, max]; the command packs them over that range.
float unpack_gain(std::uint32_t raw, float max) noexcept {
    constexpr float kFieldMaxRaw = 4095.0F;
    return (max * static_cast<float>(raw)) / kFieldMaxRaw;
}

std::uint8_t byte_of(std::uint32_t value, unsigned shift) noexcept {
    return static_cast<std::uint8_t>((value >> shift) & 0xFFU);
}

std::uint32_t read_le32(FrameView data, std::size_t at) noexcept {
    return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8U |
           static_cast<std::uint32_t>(data[at + 2]) << 16U |
           static_cast<std::uint32_t>(data[at + 3]) << 24U;
}

std::uint16_t read_le16(FrameView data, std::size_t at) noexcept {
    return static_cast<std::uint16_t>(data[at] | data[at + 1] << 8U);
}

float read_float(FrameView data, std::size_t at) noexcept {
    return std::bit_cast<float>(read_le32(data, at));
}

}  // namespace

FrameBytes encode_feedback(const MotorState& state, const MitLimits& limits) noexcept {
    const std::uint32_t position = pack_symmetric(state.position, limits.p_max, kPositionBits);
    const std::uint32_t velocity = pack_symmetric(state.velocity, limits.v_max, kFieldBits);
    const std::uint32_t torque = pack_symmetric(state.torque, limits.t_max, kFieldBits);
    return {
        static_cast<std::uint8_t>((state.error & 0x0FU) << 4U | (state.motor_id & 0x0FU)),
        byte_of(position, 8),
        byte_of(position, 0),
        byte_of(velocity, 4),
        static_cast<std::uint8_t>((velocity & 0x0FU) << 4U | (torque >> 8U)),
        byte_of(torque, 0),
        state.t_mos,
        state.t_rotor,
    };
}

MitSetpoint decode_mit_command(FrameView data, const MitLimits& limits) noexcept {
    const std::uint32_t position = static_cast<std::uint32_t>(data[0] << 8U | data[1]);
    const std::uint32_t velocity = static_cast<std::uint32_t>(data[2] << 4U | data[3] >> 4U);
    const std::uint32_t kp = static_cast<std::uint32_t>((data[3] & 0x0FU) << 8U | data[4]);
    const std::uint32_t kd = static_cast<std::uint32_t>(data[5] << 4U | data[6] >> 4U);
    const std::uint32_t torque = static_cast<std::uint32_t>((data[6] & 0x0FU) << 8U | data[7]);
    return {
        .q = damiao::unpack_symmetric(position, limits.p_max, kPositionBits),
        .dq = damiao::unpack_symmetric(velocity, limits.v_max, kFieldBits),
        .kp = unpack_gain(kp, limits.kp_max),
        .kd = unpack_gain(kd, limits.kd_max),
        .tau = damiao::unpack_symmetric(torque, limits.t_max, kFieldBits),
    };
}

std::optional<ControlSetpoint> decode_mode_frame(std::uint32_t mode, FrameView data,
                                                 const MitLimits& limits) noexcept {
    constexpr float kVelocityLimitUnit = 100.0F;
    constexpr float kTorqueRatioUnit = 10000.0F;
    switch (mode) {
        case 1:
            return ControlSetpoint{decode_mit_command(data, limits)};
        case 2:
            return ControlSetpoint{
                damiao::PosVelSetpoint{read_float(data, 0), read_float(data, 4)}};
        case 3:
            return ControlSetpoint{damiao::VelSetpoint{read_float(data, 0)}};
        case 4:
            return ControlSetpoint{damiao::ForcePosSetpoint{
                read_float(data, 0),
                static_cast<float>(read_le16(data, 4)) / kVelocityLimitUnit,
                static_cast<float>(read_le16(data, 6)) / kTorqueRatioUnit,
            }};
        default:
            return std::nullopt;
    }
}

std::optional<SpecialCommand> special_command(FrameView data) noexcept {
    for (std::size_t i = 0; i < 7; ++i) {
        if (data[i] != 0xFF) {
            return std::nullopt;
        }
    }
    switch (data[7]) {
        case 0xFB:
        case 0xFC:
        case 0xFD:
        case 0xFE:
            return static_cast<SpecialCommand>(data[7]);
        default:
            return std::nullopt;
    }
}

std::optional<RegisterRequest> parse_register_request(std::span<const std::uint8_t> data) noexcept {
    if (data.size() != 8) {
        return std::nullopt;
    }
    const FrameView bytes = data.first<8>();
    const auto op = static_cast<RegisterOp>(bytes[2]);
    if (op != RegisterOp::Read && op != RegisterOp::Write) {
        return std::nullopt;
    }
    return RegisterRequest{read_le16(bytes, 0), op, bytes[3], read_le32(bytes, 4)};
}

FrameBytes register_reply(std::uint16_t motor_id, RegisterOp op, std::uint8_t reg,
                          std::uint32_t value) noexcept {
    return {
        byte_of(motor_id, 0),
        byte_of(motor_id, 8),
        static_cast<std::uint8_t>(op),
        reg,
        byte_of(value, 0),
        byte_of(value, 8),
        byte_of(value, 16),
        byte_of(value, 24),
    };
}

}  // namespace axiolink::emulator
