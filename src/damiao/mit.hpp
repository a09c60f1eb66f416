#pragma once
// MIT impedance values: per-model range limits, one command setpoint, the
// 8-byte command packing and the feedback decoding.
//
// All values are single-precision, in the motor firmware's own units; nothing
// here converts units. Everything is a plain value, pure and thread-safe.

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace axiolink::damiao {

using FrameBytes = std::array<std::uint8_t, 8>;

// Symmetric ranges [-max, +max] for position, velocity, torque; [0, max] for
// the two gains. Any float is accepted here; `encode` refuses negative or NaN.
struct MitLimits {
    float p_max = 12.5F;
    float v_max = 30.0F;
    float kp_max = 500.0F;
    float kd_max = 5.0F;
    float t_max = 10.0F;
};

struct MitLimitsPreset {
    std::string_view name;
    MitLimits limits;
};

// The model presets, in the order the Python class exposes them.
extern const std::array<MitLimitsPreset, 15> kMitLimitsPresets;

// The preset named `name` in any case ("DM4310" is "dm4310"), as people type
// model names off a label; nullptr for no preset.
const MitLimitsPreset* find_preset(std::string_view name) noexcept;

// One MIT command. No invariant: out-of-range and NaN values are clamped by
// `encode`.
struct MitSetpoint {
    float q = 0.0F;
    float dq = 0.0F;
    float kp = 0.0F;
    float kd = 0.0F;
    float tau = 0.0F;
};

// Which limit `encode` refused, in checking order.
enum class LimitField : std::uint8_t { PMax, VMax, KpMax, KdMax, TMax };
std::string_view limit_field_name(LimitField field) noexcept;

// A limit that is negative or NaN: the first such one in field order.
struct InvalidLimit {
    LimitField field;
    float value;
    // "invalid MIT limit: p_max is -0.5, must be >= 0 and not NaN"
    std::string message() const;
};

// Packs a value into `bits` unsigned bits over [lo, hi]: clamp, then
// ((x - lo) * N) / (hi - lo) in single precision, truncated toward zero;
// NaN and negative results give 0.
std::uint32_t pack_unsigned(float x, float lo, float hi, unsigned bits) noexcept;

// Inverse of the symmetric packing: ((max + max) * u) / N - max, each step in
// single precision.
float unpack_symmetric(std::uint32_t raw, float max, unsigned bits) noexcept;

// The 8 data bytes of an MIT command frame, or the first invalid limit.
std::expected<FrameBytes, InvalidLimit> encode(const MitLimits& limits,
                                               const MitSetpoint& setpoint) noexcept;

// Decoded feedback of one motor reply.
struct MotorState {
    std::uint8_t motor_id = 0;  // low nibble of byte 0
    std::uint8_t error = 0;     // high nibble of byte 0
    float position = 0.0F;
    float velocity = 0.0F;
    float torque = 0.0F;
    std::uint8_t t_mos = 0;
    std::uint8_t t_rotor = 0;
};

// Decodes the first 8 bytes of a feedback frame; bytes beyond are ignored.
// Precondition: data.size() >= 8 (callers check the length first).
MotorState decode_feedback(std::span<const std::uint8_t> data, const MitLimits& limits) noexcept;

}  // namespace axiolink::damiao
