#include "damiao/mit.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "support/number_text.hpp"

namespace axiolink::damiao {
namespace {

constexpr unsigned kPositionBits = 16;
constexpr unsigned kFieldBits = 12;

constexpr std::uint32_t full_scale(unsigned bits) noexcept {
    return (1U << bits) - 1U;
}

bool is_valid_limit(float limit) noexcept {
    return limit >= 0.0F;
}  // false for NaN

std::optional<InvalidLimit> first_invalid_limit(const MitLimits& limits) noexcept {
    const std::array<std::pair<LimitField, float>, 5> in_order{{
        {LimitField::PMax, limits.p_max},
        {LimitField::VMax, limits.v_max},
        {LimitField::KpMax, limits.kp_max},
        {LimitField::KdMax, limits.kd_max},
        {LimitField::TMax, limits.t_max},
    }};
    for (const auto& [field, value] : in_order) {
        if (!is_valid_limit(value)) {
            return InvalidLimit{field, value};
        }
    }
    return std::nullopt;
}

std::uint32_t pack_symmetric(float x, float max, unsigned bits) noexcept {
    return pack_unsigned(x, -max, max, bits);
}

std::uint8_t byte_of(std::uint32_t value) noexcept {
    return static_cast<std::uint8_t>(value);
}

}  // namespace

const std::array<MitLimitsPreset, 15> kMitLimitsPresets{{
    {"dm3507", {12.566F, 50.0F, 500.0F, 5.0F, 5.0F}},
    {"dm4310", {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}},
    {"dm4310p", {12.5F, 50.0F, 500.0F, 5.0F, 10.0F}},
    {"dm4340", {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}},
    {"dm4340p", {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}},
    {"dm6006", {12.5F, 45.0F, 500.0F, 5.0F, 20.0F}},
    {"dm6248p", {12.566F, 20.0F, 500.0F, 5.0F, 120.0F}},
    {"dm8006", {12.5F, 45.0F, 500.0F, 5.0F, 40.0F}},
    {"dm8009", {12.5F, 45.0F, 500.0F, 5.0F, 54.0F}},
    {"dm10010", {12.5F, 20.0F, 500.0F, 5.0F, 200.0F}},
    {"dm10010l", {12.5F, 25.0F, 500.0F, 5.0F, 200.0F}},
    {"dmg6215", {12.5F, 45.0F, 500.0F, 5.0F, 10.0F}},
    {"dmh3510", {12.5F, 280.0F, 500.0F, 5.0F, 1.0F}},
    {"dmh6220", {12.5F, 45.0F, 500.0F, 5.0F, 10.0F}},
    {"dmjh11", {12.5F, 10.0F, 500.0F, 5.0F, 12.0F}},
}};

const MitLimitsPreset* find_preset(std::string_view name) noexcept {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    const auto* found = std::ranges::find_if(kMitLimitsPresets, [&](const MitLimitsPreset& preset) {
        return std::ranges::equal(preset.name, name, {}, {}, lower);
    });
    return found == kMitLimitsPresets.end() ? nullptr : found;
}

std::string_view limit_field_name(LimitField field) noexcept {
    switch (field) {
        case LimitField::PMax:
            return "p_max";
        case LimitField::VMax:
            return "v_max";
        case LimitField::KpMax:
            return "kp_max";
        case LimitField::KdMax:
            return "kd_max";
        case LimitField::TMax:
            return "t_max";
    }
    return "unknown limit";
}

std::string InvalidLimit::message() const {
    support::NumberBuffer number;
    std::string text = "invalid MIT limit: ";
    text += limit_field_name(field);
    text += " is ";
    text += support::shortest_text(value, number);
    text += ", must be >= 0 and not NaN";
    return text;
}

std::uint32_t pack_unsigned(float x, float lo, float hi, unsigned bits) noexcept {
    if (x < lo) {
        x = lo;
    }
    if (x > hi) {
        x = hi;
    }
    // Each step is its own single-precision operation, multiplication before
    // division, so the raw value is bit-exact on every platform.
    const std::uint32_t n = full_scale(bits);
    const float offset = x - lo;
    const float span = hi - lo;
    const float scaled = offset * static_cast<float>(n);
    const float r = scaled / span;
    if (!(r > 0.0F)) {  // NaN, negative or zero
        return 0;
    }
    // A limit near the float maximum can overflow the product to infinity
    // while the span stays finite; the field saturates instead.
    if (r >= static_cast<float>(n)) {
        return n;
    }
    return static_cast<std::uint32_t>(r);
}

float unpack_symmetric(std::uint32_t raw, float max, unsigned bits) noexcept {
    const auto u = static_cast<float>(raw);
    const float span = max + max;
    const float scaled = span * u;
    const float fraction = scaled / static_cast<float>(full_scale(bits));
    return fraction - max;
}

std::expected<FrameBytes, InvalidLimit> encode(const MitLimits& limits,
                                               const MitSetpoint& setpoint) noexcept {
    if (const auto invalid = first_invalid_limit(limits)) {
        return std::unexpected(*invalid);
    }
    const std::uint32_t position = pack_symmetric(setpoint.q, limits.p_max, kPositionBits);
    const std::uint32_t velocity = pack_symmetric(setpoint.dq, limits.v_max, kFieldBits);
    const std::uint32_t kp = pack_unsigned(setpoint.kp, 0.0F, limits.kp_max, kFieldBits);
    const std::uint32_t kd = pack_unsigned(setpoint.kd, 0.0F, limits.kd_max, kFieldBits);
    const std::uint32_t torque = pack_symmetric(setpoint.tau, limits.t_max, kFieldBits);
    return FrameBytes{
        byte_of(position >> 8),
        byte_of(position),
        byte_of(velocity >> 4),
        byte_of(((velocity & 0xFU) << 4) | (kp >> 8)),
        byte_of(kp),
        byte_of(kd >> 4),
        byte_of(((kd & 0xFU) << 4) | (torque >> 8)),
        byte_of(torque),
    };
}

MotorState decode_feedback(std::span<const std::uint8_t> data, const MitLimits& limits) noexcept {
    const std::uint32_t position_raw = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t velocity_raw = (std::uint32_t{data[3]} << 4) | (data[4] >> 4U);
    const std::uint32_t torque_raw = ((std::uint32_t{data[4]} & 0xFU) << 8) | data[5];
    return MotorState{
        .motor_id = static_cast<std::uint8_t>(data[0] & 0x0FU),
        .error = static_cast<std::uint8_t>(data[0] >> 4U),
        .position = unpack_symmetric(position_raw, limits.p_max, kPositionBits),
        .velocity = unpack_symmetric(velocity_raw, limits.v_max, kFieldBits),
        .torque = unpack_symmetric(torque_raw, limits.t_max, kFieldBits),
        .t_mos = data[6],
        .t_rotor = data[7],
    };
}

}  // namespace axiolink::damiao
