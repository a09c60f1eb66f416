#include "damiao/modes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>

namespace axiolink::damiao {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct FrameCase {
    ControlSetpoint setpoint;
    FrameBytes expected;
};

class ModeFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(ModeFrame, PacksLittleEndianFields) {
    const auto bytes = encode_mode_frame(MitLimits{}, GetParam().setpoint);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ModeWorkedExamples, ModeFrame,
    testing::Values(FrameCase{MitSetpoint{}, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
                    FrameCase{PosVelSetpoint{1.0F, 2.0F},
                              {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40}},
                    FrameCase{VelSetpoint{-3.5F}, {0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00}},
                    FrameCase{ForcePosSetpoint{0.5F, 12.345F, 0.5F},
                              {0x00, 0x00, 0x00, 0x3F, 0xD2, 0x04, 0x88, 0x13}}));

INSTANTIATE_TEST_SUITE_P(
    ModeFloatsGoOutUnchanged, ModeFrame,
    testing::Values(
        FrameCase{PosVelSetpoint{kNaN, kInf}, {0x00, 0x00, 0xC0, 0x7F, 0x00, 0x00, 0x80, 0x7F}},
        FrameCase{PosVelSetpoint{-kInf, -0.0F}, {0x00, 0x00, 0x80, 0xFF, 0x00, 0x00, 0x00, 0x80}},
        FrameCase{VelSetpoint{std::bit_cast<float>(0x12345678U)},
                  {0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00}},
        FrameCase{ForcePosSetpoint{kNaN, 1.0F, 0.0F},
                  {0x00, 0x00, 0xC0, 0x7F, 0x64, 0x00, 0x00, 0x00}}));

INSTANTIATE_TEST_SUITE_P(
    ModeForcePosScaling, ModeFrame,
    testing::Values(FrameCase{ForcePosSetpoint{0.0F, 150.0F, -0.2F},
                              {0x00, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00}},
                    FrameCase{ForcePosSetpoint{0.0F, kNaN, 2.0F},
                              {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x27}},
                    FrameCase{ForcePosSetpoint{0.0F, 100.0F, 1.0F},
                              {0x00, 0x00, 0x00, 0x00, 0x10, 0x27, 0x10, 0x27}},
                    FrameCase{ForcePosSetpoint{0.0F, kInf, kNaN},
                              {0x00, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00}},
                    FrameCase{ForcePosSetpoint{0.0F, -kInf, kInf},
                              {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x27}},
                    // In single precision both products round up to exactly 1; in double
                    // precision they would stay just below 1 and truncate to 0.
                    FrameCase{ForcePosSetpoint{0.0F, 0.01F, 0.0001F},
                              {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00}},
                    FrameCase{ForcePosSetpoint{0.0F, 99.999F, 0.99999F},
                              {0x00, 0x00, 0x00, 0x00, 0x0F, 0x27, 0x0F, 0x27}}));

TEST(ModeFrame, MitUsesTheGivenLimits) {
    const MitLimits dm3507{12.566F, 50, 500, 5, 5};
    const MitSetpoint setpoint{1.0F, -2.0F, 20.0F, 0.5F, 0.25F};
    const auto direct = encode(dm3507, setpoint);
    const auto through_mode = encode_mode_frame(dm3507, setpoint);
    ASSERT_TRUE(direct.has_value());
    ASSERT_TRUE(through_mode.has_value());
    EXPECT_EQ(*through_mode, *direct);
    EXPECT_NE(*through_mode, (FrameBytes{0x8A, 0x3C, 0x77, 0x70, 0xA3, 0x19, 0x98, 0x32}));
}

TEST(ModeFrame, OnlyMitRefusesInvalidLimits) {
    const MitLimits invalid{12.5F, 30, 500, -0.5F, 10};
    const auto mit = encode_mode_frame(invalid, MitSetpoint{});
    ASSERT_FALSE(mit.has_value());
    EXPECT_EQ(mit.error().field, LimitField::KdMax);
    EXPECT_TRUE(encode_mode_frame(invalid, PosVelSetpoint{}).has_value());
    EXPECT_TRUE(encode_mode_frame(invalid, VelSetpoint{}).has_value());
    EXPECT_TRUE(encode_mode_frame(invalid, ForcePosSetpoint{}).has_value());
}

TEST(ModeNumbers, MatchRegisterValuesAndIdOffsets) {
    struct Row {
        ControlSetpoint setpoint;
        std::uint8_t mode;
        std::uint32_t offset;
    };
    const Row rows[] = {
        {MitSetpoint{}, 1, 0x000},
        {PosVelSetpoint{}, 2, 0x100},
        {VelSetpoint{}, 3, 0x200},
        {ForcePosSetpoint{}, 4, 0x300},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(control_mode(row.setpoint), row.mode);
        EXPECT_EQ(mode_id_offset(row.setpoint), row.offset);
    }
}

}  // namespace
}  // namespace axiolink::damiao
