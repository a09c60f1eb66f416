#pragma once
// The motor's side of the wire format: the feedback frame it sends, the
// command frames it takes apart and the register request and reply frames.
//
// Every function is pure, allocation-free and thread-safe.

#include <cstdint>
#include <optional>
#include <span>

#include "damiao/mit.hpp"
#include "damiao/modes.hpp"

namespace axiolink::emulator {

using damiao::ControlSetpoint;
using damiao::FrameBytes;
using damiao::MitLimits;
using damiao::MitSetpoint;
using damiao::MotorState;

using FrameView = std::span<const std::uint8_t, 8>;

// The feedback bytes that `decode_feedback` reads back as `state`: the motor
// id and error as the low and high nibble of byte 0 (higher bits dropped),
// position, velocity and torque packed by `pack_unsigned` over the limits'
// symmetric ranges (clamped; packing truncates, so a value reads back up to
// one step low), the two temperatures unchanged.
FrameBytes encode_feedback(const MotorState& state, const MitLimits& limits) noexcept;

// The setpoint an MIT command frame carries, unpacked with the same ranges
// `encode` packed it with.
MitSetpoint decode_mit_command(FrameView data, const MitLimits& limits) noexcept;

// The setpoint a mode frame carries, read as a frame of control mode `mode`
// (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS; nothing for any other). The
// FORCE_POS velocity limit comes back in units of 1 and the torque ratio as a
// fraction of full scale.
std::optional<ControlSetpoint> decode_mode_frame(std::uint32_t mode, FrameView data,
                                                 const MitLimits& limits) noexcept;

enum class SpecialCommand : std::uint8_t {
    ClearError = 0xFB,
    Enable = 0xFC,
    Disable = 0xFD,
    SetZero = 0xFE,
};

// Seven bytes 0xFF and one of the four codes; anything else is not a special
// command.
std::optional<SpecialCommand> special_command(FrameView data) noexcept;

enum class RegisterOp : std::uint8_t { Read = 0x33, Write = 0x55 };

struct RegisterRequest {
    std::uint16_t motor_id = 0;  // bytes 0-1, little-endian, all 16 bits
    RegisterOp op = RegisterOp::Read;
    std::uint8_t reg = 0;
    std::uint32_t value = 0;  // bytes 4-7 little-endian; a write's new value
};

// A read or write request; frames of any other length or operation byte are
// not requests.
std::optional<RegisterRequest> parse_register_request(std::span<const std::uint8_t> data) noexcept;

// [motor id lo, motor id hi, op, register, value little-endian]: the pattern
// a register reply (read) and a write's echo share.
FrameBytes register_reply(std::uint16_t motor_id, RegisterOp op, std::uint8_t reg,
                          std::uint32_t value) noexcept;

}  // namespace axiolink::emulator
