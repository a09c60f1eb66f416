#include "damiao/mit.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace axiolink::damiao {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits_of(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// Compares floats by bit pattern, so -0.0 and NaN payloads count.
#define EXPECT_SAME_FLOAT(actual, expected) EXPECT_EQ(bits_of(actual), bits_of(expected))

struct EncodeCase {
    MitSetpoint setpoint;
    FrameBytes expected;
};

class MitEncode : public testing::TestWithParam<EncodeCase> {};

TEST_P(MitEncode, PacksDefaultLimitsFrame) {
    const auto bytes = encode(MitLimits{}, GetParam().setpoint);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    MitWorkedExamples, MitEncode,
    testing::Values(
        // Midpoints pack to 32767 / 2047, not 0x8000 / 0x800.
        EncodeCase{{0, 0, 0, 0, 0}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        EncodeCase{{1.0F, -2.0F, 20.0F, 0.5F, 0.25F},
                   {0x8A, 0x3C, 0x77, 0x70, 0xA3, 0x19, 0x98, 0x32}},
        EncodeCase{{12.5F, 30, 500, 5, 10}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        EncodeCase{{-100, 100, -1, 99, -10}, {0x00, 0x00, 0xFF, 0xF0, 0x00, 0xFF, 0xF0, 0x00}}));

INSTANTIATE_TEST_SUITE_P(
    MitClamping, MitEncode,
    testing::Values(
        EncodeCase{{100, 0, 0, 0, 0}, {0xFF, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        EncodeCase{{-100, 0, 0, 0, 0}, {0x00, 0x00, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        EncodeCase{{0, 0, -20, -0.5F, 0}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        EncodeCase{{kInf, kInf, kInf, kInf, kInf},
                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        EncodeCase{{-kInf, -kInf, -kInf, -kInf, -kInf},
                   {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        // NaN packs as raw 0, the low end of every range.
        EncodeCase{{kNaN, kNaN, kNaN, kNaN, kNaN},
                   {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        EncodeCase{{0, kNaN, 500, kNaN, 10}, {0x7F, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0x0F, 0xFF}}));

struct PackCase {
    float x;
    float lo;
    float hi;
    unsigned bits;
    std::uint32_t expected;
};

void PrintTo(const PackCase& c, std::ostream* os) {
    *os << "pack " << c.x << " over [" << c.lo << ", " << c.hi << "] in " << c.bits << " bits";
}

class MitPackUnsigned : public testing::TestWithParam<PackCase> {};

TEST_P(MitPackUnsigned, ClampsScalesAndTruncates) {
    const PackCase& c = GetParam();
    EXPECT_EQ(pack_unsigned(c.x, c.lo, c.hi, c.bits), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    MitFields, MitPackUnsigned,
    testing::Values(PackCase{0, -12.5F, 12.5F, 16, 32767},  // 32767.5 truncates
                    PackCase{0, -30, 30, 12, 2047}, PackCase{12.5F, -12.5F, 12.5F, 16, 65535},
                    PackCase{-12.5F, -12.5F, 12.5F, 16, 0}, PackCase{20, 0, 500, 12, 163},
                    PackCase{-1e-30F, 0, 5, 12, 0}, PackCase{kNaN, 0, 5, 12, 0},
                    PackCase{kInf, -30, 30, 12, 4095}, PackCase{-kInf, -30, 30, 12, 0},
                    // Scaling 0.3 * N first and dividing by 0.3 afterwards rounds just
                    // below N; dividing first would give exactly N.
                    PackCase{0.15F, -0.15F, 0.15F, 12, 4094},
                    PackCase{0.15F, -0.15F, 0.15F, 16, 65534},
                    // A limit of zero divides 0 by 0: raw 0 whatever the input.
                    PackCase{1, 0, 0, 12, 0}, PackCase{-1, -0.0F, 0, 16, 0},
                    PackCase{kInf, 0, 0, 12, 0},
                    // The product overflows to infinity before the division.
                    PackCase{1e36F, -1e36F, 1e36F, 16, 65535}));

TEST(MitEncode, AcceptsZeroAndNegativeZeroLimits) {
    const MitSetpoint setpoint{1, 2, 3, 4, 5};
    const FrameBytes all_zero{};
    for (const float zero : {0.0F, -0.0F}) {
        const auto bytes = encode(MitLimits{zero, zero, zero, zero, zero}, setpoint);
        ASSERT_TRUE(bytes.has_value()) << bits_of(zero);
        EXPECT_EQ(*bytes, all_zero);
    }
}

struct RefusalCase {
    MitLimits limits;
    LimitField field;
    std::string_view message;
};

class MitEncodeRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(MitEncodeRefusal, ReportsFirstInvalidLimitInFieldOrder) {
    const RefusalCase& c = GetParam();
    const auto bytes = encode(c.limits, MitSetpoint{});
    ASSERT_FALSE(bytes.has_value());
    EXPECT_EQ(bytes.error().field, c.field);
    EXPECT_EQ(bytes.error().message(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    MitInvalidLimits, MitEncodeRefusal,
    testing::Values(
        RefusalCase{{12.5F, 30, 500, -0.5F, 10},
                    LimitField::KdMax,
                    "invalid MIT limit: kd_max is -0.5, must be >= 0 and not NaN"},
        RefusalCase{{kNaN, 30, 500, 5, 10},
                    LimitField::PMax,
                    "invalid MIT limit: p_max is NaN, must be >= 0 and not NaN"},
        RefusalCase{{12.5F, -1, 500, 5, kNaN},
                    LimitField::VMax,
                    "invalid MIT limit: v_max is -1, must be >= 0 and not NaN"},
        RefusalCase{{12.5F, 30, -kInf, -3, -4},
                    LimitField::KpMax,
                    "invalid MIT limit: kp_max is -inf, must be >= 0 and not NaN"},
        RefusalCase{{12.5F, 30, 500, 5, -0.1F},
                    LimitField::TMax,
                    "invalid MIT limit: t_max is -0.1, must be >= 0 and not NaN"},
        RefusalCase{{-1e-45F, 30, 500, 5, 10},
                    LimitField::PMax,
                    "invalid MIT limit: p_max is -0.000000000000000000000000000000000000000000001, "
                    "must be >= 0 and not NaN"}));

TEST(MitEncode, AcceptsInfiniteLimits) {
    // Infinite ranges scale to inf / inf, which packs as raw 0.
    const auto bytes = encode(MitLimits{kInf, kInf, kInf, kInf, kInf}, MitSetpoint{1, 1, 1, 1, 1});
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, FrameBytes{});
}

TEST(MitLimitsPresets, HoldTheModelTableInOrder) {
    struct Row {
        std::string_view name;
        float p_max, v_max, kp_max, kd_max, t_max;
    };
    const std::array<Row, 15> expected{{
        {"dm3507", 12.566F, 50, 500, 5, 5},
        {"dm4310", 12.5F, 30, 500, 5, 10},
        {"dm4310p", 12.5F, 50, 500, 5, 10},
        {"dm4340", 12.5F, 10, 500, 5, 28},
        {"dm4340p", 12.5F, 10, 500, 5, 28},
        {"dm6006", 12.5F, 45, 500, 5, 20},
        {"dm6248p", 12.566F, 20, 500, 5, 120},
        {"dm8006", 12.5F, 45, 500, 5, 40},
        {"dm8009", 12.5F, 45, 500, 5, 54},
        {"dm10010", 12.5F, 20, 500, 5, 200},
        {"dm10010l", 12.5F, 25, 500, 5, 200},
        {"dmg6215", 12.5F, 45, 500, 5, 10},
        {"dmh3510", 12.5F, 280, 500, 5, 1},
        {"dmh6220", 12.5F, 45, 500, 5, 10},
        {"dmjh11", 12.5F, 10, 500, 5, 12},
    }};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const MitLimitsPreset& preset = kMitLimitsPresets[i];
        const Row& row = expected[i];
        EXPECT_EQ(preset.name, row.name);
        EXPECT_SAME_FLOAT(preset.limits.p_max, row.p_max) << row.name;
        EXPECT_SAME_FLOAT(preset.limits.v_max, row.v_max) << row.name;
        EXPECT_SAME_FLOAT(preset.limits.kp_max, row.kp_max) << row.name;
        EXPECT_SAME_FLOAT(preset.limits.kd_max, row.kd_max) << row.name;
        EXPECT_SAME_FLOAT(preset.limits.t_max, row.t_max) << row.name;
    }
}

const MitLimits& preset(std::string_view name) {
    for (const auto& p : kMitLimitsPresets) {
        if (p.name == name) {
            return p.limits;
        }
    }
    throw std::invalid_argument("no preset");
}

void expect_same_limits(const MitLimits& a, const MitLimits& b) {
    EXPECT_SAME_FLOAT(a.p_max, b.p_max);
    EXPECT_SAME_FLOAT(a.v_max, b.v_max);
    EXPECT_SAME_FLOAT(a.kp_max, b.kp_max);
    EXPECT_SAME_FLOAT(a.kd_max, b.kd_max);
    EXPECT_SAME_FLOAT(a.t_max, b.t_max);
}

TEST(MitLimitsPresets, AliasesAndDefaults) {
    EXPECT_EQ(bits_of(preset("dm3507").p_max), 0x41490E56U);
    EXPECT_EQ(bits_of(preset("dm6248p").p_max), 0x41490E56U);
    expect_same_limits(preset("dm4340p"), preset("dm4340"));
    expect_same_limits(preset("dmh6220"), preset("dmg6215"));
    expect_same_limits(preset("dm4310"), MitLimits{});
    expect_same_limits(MitLimits{}, MitLimits{12.5F, 30, 500, 5, 10});
}

TEST(MitLimitsPresets, TopOfEveryRangePacksFullScale) {
    for (const auto& [name, limits] : kMitLimitsPresets) {
        const auto bytes = encode(
            limits, {limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max});
        ASSERT_TRUE(bytes.has_value()) << name;
        EXPECT_EQ(*bytes, (FrameBytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})) << name;
    }
}

TEST(MitFeedback, DecodesWorkedExampleNearZero) {
    const std::array<std::uint8_t, 8> data{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A, 0x1C};
    const MotorState state = decode_feedback(data, MitLimits{});
    EXPECT_EQ(state.motor_id, 1);
    EXPECT_EQ(state.error, 1);
    EXPECT_SAME_FLOAT(state.position, -0.00019073486328125F);
    EXPECT_SAME_FLOAT(state.velocity, -0.0073261260986328125F);
    EXPECT_SAME_FLOAT(state.torque, -0.0024423599243164062F);
    EXPECT_EQ(state.t_mos, 26);
    EXPECT_EQ(state.t_rotor, 28);
}

struct DecodeCase {
    std::array<std::uint8_t, 8> data;
    float position;
    float velocity;
    float torque;
};

class MitFeedbackDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(MitFeedbackDecode, ScalesWithDefaultLimits) {
    const DecodeCase& c = GetParam();
    const MotorState state = decode_feedback(c.data, MitLimits{});
    EXPECT_SAME_FLOAT(state.position, c.position);
    EXPECT_SAME_FLOAT(state.velocity, c.velocity);
    EXPECT_SAME_FLOAT(state.torque, c.torque);
}

INSTANTIATE_TEST_SUITE_P(
    MitScaling, MitFeedbackDecode,
    testing::Values(
        DecodeCase{{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, -12.5F, -30.0F, -10.0F},
        DecodeCase{{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}, 12.5F, 30.0F, 10.0F},
        // Raw 32768 / 2048 sit one step above the midpoint, not at zero.
        DecodeCase{{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00},
                   0.00019073486328125F,
                   0.0073261260986328125F,
                   0.0024423599243164062F},
        // Raw 573 / 133 / 1025: doubling the limit and multiplying before dividing
        // gives these last bits; dividing first lands one bit away.
        DecodeCase{{0x01, 0x02, 0x3D, 0x08, 0x54, 0x01, 0x00, 0x00},
                   std::bit_cast<float>(0xC14480ACU),
                   std::bit_cast<float>(0xC1E06907U),
                   std::bit_cast<float>(0xC09FCDFDU)}));

TEST(MitFeedback, PassesHeaderAndTemperaturesThrough) {
    const std::array<std::uint8_t, 8> data{0xE7, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x80};
    const MotorState state = decode_feedback(data, MitLimits{});
    EXPECT_EQ(state.motor_id, 7);
    EXPECT_EQ(state.error, 14);
    EXPECT_EQ(state.t_mos, 255);
    EXPECT_EQ(state.t_rotor, 128);
}

TEST(MitFeedback, IgnoresBytesBeyondTheEighth) {
    const std::vector<std::uint8_t> data{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF,
                                         0x1A, 0x1C, 0xAA, 0xBB, 0xCC, 0xDD};
    const MotorState state = decode_feedback(data, MitLimits{});
    EXPECT_EQ(state.motor_id, 1);
    EXPECT_SAME_FLOAT(state.position, -0.00019073486328125F);
    EXPECT_SAME_FLOAT(state.torque, -0.0024423599243164062F);
    EXPECT_EQ(state.t_rotor, 28);
}

TEST(MitFeedback, RangeEndsAreExactForEveryPreset) {
    for (const auto& [name, limits] : kMitLimitsPresets) {
        for (const float max : {limits.p_max, limits.v_max, limits.t_max}) {
            EXPECT_SAME_FLOAT(unpack_symmetric(0, max, 12), -max) << name;
            EXPECT_SAME_FLOAT(unpack_symmetric(4095, max, 12), max) << name;
        }
        EXPECT_SAME_FLOAT(unpack_symmetric(65535, limits.p_max, 16), limits.p_max) << name;
    }
}

TEST(MitFeedback, UncheckedLimitsFlowThrough) {
    const std::array<std::uint8_t, 8> data{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const MotorState flipped = decode_feedback(data, MitLimits{-12.5F, 30, 500, 5, 10});
    EXPECT_SAME_FLOAT(flipped.position, 12.5F);
    const MotorState unknown = decode_feedback(data, MitLimits{kNaN, 30, 500, 5, 10});
    EXPECT_TRUE(std::isnan(unknown.position));
    EXPECT_SAME_FLOAT(unknown.velocity, -30.0F);
}

}  // namespace
}  // namespace axiolink::damiao
