// The emulator's model and protocol logic, without a socket: what each frame
// does to an emulated motor and exactly which frames it answers with.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/mit.hpp"
#include "damiao/modes.hpp"
#include "emulator/arrival_clock.hpp"
#include "emulator/emulator.hpp"
#include "emulator/frame_line.hpp"
#include "emulator/motor_frames.hpp"
#include "emulator/options.hpp"

namespace axiolink::emulator {
namespace {

using damiao::MitLimits;
using damiao::MotorState;
using transport::CanFrame;
using transport::CanId;
using transport::MonotonicTime;
using transport::Payload;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMillis = 1'000'000;
constexpr std::uint64_t kSeconds = 1'000'000'000;
constexpr std::uint64_t kStart = 5 * kSeconds;

CanFrame standard(std::uint16_t id, std::initializer_list<std::uint8_t> bytes) {
    return CanFrame{CanId::standard(id), Payload(bytes)};
}

CanFrame standard(std::uint16_t id, const damiao::FrameBytes& bytes) {
    return CanFrame{CanId::standard(id), Payload(bytes)};
}

Bytes bytes_of(const CanFrame& frame) {
    return {frame.data.bytes().begin(), frame.data.bytes().end()};
}

const CanFrame kEnable = standard(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC});
const CanFrame kDisable = standard(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD});
const CanFrame kSetZero = standard(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE});
const CanFrame kClearError = standard(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB});
const CanFrame kReadMode = standard(0x7FF, {0x01, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00, 0x00});

CanFrame write_mode(std::uint8_t mode) {
    return standard(0x7FF, {0x01, 0x00, 0x55, 0x0A, mode, 0x00, 0x00, 0x00});
}

CanFrame mit_frame(const damiao::MitSetpoint& setpoint, std::uint16_t id = 0x001) {
    return standard(id, *damiao::encode(MitLimits{}, setpoint));
}

CanFrame mode_frame(const damiao::ControlSetpoint& setpoint, std::uint16_t motor_id = 0x001) {
    const auto id =
        static_cast<std::uint16_t>((motor_id + damiao::mode_id_offset(setpoint)) & 0x7FF);
    return standard(id, *damiao::encode_mode_frame(MitLimits{}, setpoint));
}

// One motor and a clock: each frame is handed over some time after the last.
class MotorBench {
public:
    explicit MotorBench(const MotorConfig& config = {})
        : motor_(config, MonotonicTime{kStart}), out_(EmulatedMotor::kMaxFramesPerAnswer) {}

    std::vector<Outgoing> send(const CanFrame& frame, std::uint64_t after_nanos = kMillis) {
        now_ += after_nanos;
        out_.clear();
        motor_.on_frame(frame, MonotonicTime{now_}, out_);
        return out_.frames();
    }
    // The state decoded from the one feedback frame answering `frame`.
    MotorState feedback(const CanFrame& frame, std::uint64_t after_nanos = kMillis) {
        const auto answer = send(frame, after_nanos);
        EXPECT_EQ(answer.size(), 1U);
        EXPECT_EQ(answer.at(0).frame.data.size(), 8U);
        return damiao::decode_feedback(answer.at(0).frame.data.bytes(), motor_.config().limits);
    }

    const EmulatedMotor& motor() const { return motor_; }
    std::uint64_t now() const { return now_; }

private:
    EmulatedMotor motor_;
    Outbox out_;
    std::uint64_t now_ = kStart;
};

MotorConfig motor_in_mode(std::uint32_t mode) {
    MotorConfig config;
    config.control_mode = mode;
    return config;
}

MotorConfig motor_with(Faults faults) {
    MotorConfig config;
    config.faults = faults;
    return config;
}

// ---------------------------------------------------------------- wire format

TEST(EmulatorFeedback, EncodesTheDecodingExamplesInReverse) {
    struct Case {
        MotorState state;
        Bytes bytes;
    };
    const Case cases[] = {
        {{1, 1, 0.0F, 0.0F, 0.0F, 26, 28}, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A, 0x1C}},
        {{1, 0, -12.5F, -30.0F, -10.0F, 0, 0}, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {{1, 0, 12.5F, 30.0F, 10.0F, 0, 0}, {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}},
        // Out of range clamps; only the nibbles of id and error are kept.
        {{0x12, 0x1B, 100.0F, -100.0F, 55.0F, 255, 7},
         {0xB2, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0x07}},
    };
    for (const Case& c : cases) {
        const auto encoded = encode_feedback(c.state, MitLimits{});
        EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), c.bytes);
    }
    // The values decoded from the example encode back to the same bytes.
    const Bytes example{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A, 0x1C};
    const auto again = encode_feedback(damiao::decode_feedback(example, MitLimits{}), MitLimits{});
    EXPECT_EQ(Bytes(again.begin(), again.end()), example);
}

TEST(EmulatorFeedback, ReadsBackThroughDecodeFeedbackWithinOneStepBelow) {
    for (const auto& preset : damiao::kMitLimitsPresets) {
        const MitLimits& limits = preset.limits;
        for (const float fraction : {-0.999F, -0.5F, -0.01F, 0.0F, 0.003F, 0.25F, 0.7F, 0.999F}) {
            const MotorState state{
                3,  1, fraction * limits.p_max, fraction * limits.v_max, fraction * limits.t_max,
                40, 41};
            const auto bytes = encode_feedback(state, limits);
            const MotorState back = damiao::decode_feedback(bytes, limits);
            const auto expect_near_below = [&](float got, float sent, float max, float raw_max) {
                const float step = 2.0F * max / raw_max;
                const float slack = 1e-6F * max;
                EXPECT_LE(got, sent + slack) << preset.name << " " << fraction;
                EXPECT_GT(got, sent - step - slack) << preset.name << " " << fraction;
            };
            expect_near_below(back.position, state.position, limits.p_max, 65535.0F);
            expect_near_below(back.velocity, state.velocity, limits.v_max, 4095.0F);
            expect_near_below(back.torque, state.torque, limits.t_max, 4095.0F);
            EXPECT_EQ(back.motor_id, 3);
            EXPECT_EQ(back.error, 1);
            EXPECT_EQ(back.t_mos, 40);
            EXPECT_EQ(back.t_rotor, 41);
        }
    }
}

TEST(EmulatorCommandFrames, UnpacksMitFramesToWithinOneStepOfTheSetpoint) {
    // 8A 3C 77 70 A3 19 98 32 carries (1.0, -2.0, 20.0, 0.5, 0.25).
    const damiao::FrameBytes frame{0x8A, 0x3C, 0x77, 0x70, 0xA3, 0x19, 0x98, 0x32};
    const damiao::MitSetpoint got = decode_mit_command(frame, MitLimits{});
    EXPECT_NEAR(got.q, 1.0F, 25.0F / 65535.0F);
    EXPECT_NEAR(got.dq, -2.0F, 60.0F / 4095.0F);
    EXPECT_NEAR(got.kp, 20.0F, 500.0F / 4095.0F);
    EXPECT_NEAR(got.kd, 0.5F, 5.0F / 4095.0F);
    EXPECT_NEAR(got.tau, 0.25F, 20.0F / 4095.0F);

    const damiao::FrameBytes top{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const damiao::MitSetpoint max = decode_mit_command(top, MitLimits{});
    EXPECT_EQ(max.q, 12.5F);
    EXPECT_EQ(max.dq, 30.0F);
    EXPECT_EQ(max.kp, 500.0F);
    EXPECT_EQ(max.kd, 5.0F);
    EXPECT_EQ(max.tau, 10.0F);
}

TEST(EmulatorCommandFrames, ReadsTheModeFramesTheDriverBuilds) {
    const damiao::FrameBytes pos_vel{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40};
    const auto a = decode_mode_frame(2, pos_vel, MitLimits{});
    ASSERT_TRUE(a);
    EXPECT_EQ(std::get<damiao::PosVelSetpoint>(*a).position, 1.0F);
    EXPECT_EQ(std::get<damiao::PosVelSetpoint>(*a).velocity, 2.0F);

    const damiao::FrameBytes vel{0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00};
    const auto b = decode_mode_frame(3, vel, MitLimits{});
    ASSERT_TRUE(b);
    EXPECT_EQ(std::get<damiao::VelSetpoint>(*b).velocity, -3.5F);

    const damiao::FrameBytes force_pos{0x00, 0x00, 0x00, 0x3F, 0xD2, 0x04, 0x88, 0x13};
    const auto c = decode_mode_frame(4, force_pos, MitLimits{});
    ASSERT_TRUE(c);
    EXPECT_EQ(std::get<damiao::ForcePosSetpoint>(*c).position, 0.5F);
    EXPECT_FLOAT_EQ(std::get<damiao::ForcePosSetpoint>(*c).velocity_limit, 12.34F);
    EXPECT_FLOAT_EQ(std::get<damiao::ForcePosSetpoint>(*c).torque_ratio, 0.5F);

    EXPECT_FALSE(decode_mode_frame(0, vel, MitLimits{}));
    EXPECT_FALSE(decode_mode_frame(5, vel, MitLimits{}));
}

TEST(EmulatorCommandFrames, RecognisesExactlyTheFourSpecialCommands) {
    struct Case {
        damiao::FrameBytes data;
        std::optional<SpecialCommand> command;
    };
    const Case cases[] = {
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, SpecialCommand::Enable},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}, SpecialCommand::Disable},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, SpecialCommand::SetZero},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}, SpecialCommand::ClearError},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA}, std::nullopt},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFC}, std::nullopt},
        {{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(special_command(c.data), c.command) << static_cast<int>(c.data[7]);
    }
}

TEST(EmulatorRegisterFrames, ParsesRequestsAndBuildsReplies) {
    const auto read = parse_register_request(Bytes{0x01, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00, 0x00});
    ASSERT_TRUE(read);
    EXPECT_EQ(read->motor_id, 0x0001);
    EXPECT_EQ(read->op, RegisterOp::Read);
    EXPECT_EQ(read->reg, 10);

    const auto write =
        parse_register_request(Bytes{0x02, 0x01, 0x55, 0x0A, 0x01, 0x02, 0x03, 0x04});
    ASSERT_TRUE(write);
    EXPECT_EQ(write->motor_id, 0x0102);
    EXPECT_EQ(write->op, RegisterOp::Write);
    EXPECT_EQ(write->value, 0x04030201U);

    EXPECT_FALSE(parse_register_request(Bytes{0x01, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00}));
    EXPECT_FALSE(parse_register_request(Bytes{0x01, 0x00, 0x44, 0x0A, 0x00, 0x00, 0x00, 0x00}));

    const auto reply = register_reply(0x0001, RegisterOp::Read, 10, 2);
    EXPECT_EQ(Bytes(reply.begin(), reply.end()),
              (Bytes{0x01, 0x00, 0x33, 0x0A, 0x02, 0x00, 0x00, 0x00}));
    const auto echo = register_reply(0x0102, RegisterOp::Write, 10, 0x01020304);
    EXPECT_EQ(Bytes(echo.begin(), echo.end()),
              (Bytes{0x02, 0x01, 0x55, 0x0A, 0x04, 0x03, 0x02, 0x01}));
}

// ------------------------------------------------------------ exchanges

TEST(EmulatedMotor, AnswersEachSpecialCommandWithOneFeedbackFrameAtTheMasterId) {
    struct Step {
        CanFrame command;
        Bytes answer;  // ambient 25 °C is 0x19
    };
    const Step steps[] = {
        {kEnable, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}},
        {kSetZero, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}},
        {kClearError, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}},
        {kDisable, {0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}},
        {kDisable, {0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}},
        {kEnable, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}},
    };
    MotorBench bench;
    for (const Step& step : steps) {
        const auto answer = bench.send(step.command, 3 * kMillis);
        ASSERT_EQ(answer.size(), 1U);
        EXPECT_EQ(answer[0].frame.id, CanId::standard(0x011));
        EXPECT_FALSE(answer[0].frame.fd);
        EXPECT_EQ(bytes_of(answer[0].frame), step.answer);
        EXPECT_EQ(answer[0].due.nanos, bench.now());
    }
}

TEST(EmulatedMotor, AnswersOnlyTheCommandFramesOfItsControlMode) {
    const CanFrame frames[] = {
        mit_frame({0.5F, 0.0F, 10.0F, 1.0F, 0.0F}),
        mode_frame(damiao::PosVelSetpoint{1.0F, 2.0F}),
        mode_frame(damiao::VelSetpoint{-3.5F}),
        mode_frame(damiao::ForcePosSetpoint{0.5F, 12.345F, 0.5F}),
    };
    for (std::uint32_t mode = 1; mode <= 4; ++mode) {
        MotorBench bench(motor_in_mode(mode));
        EXPECT_EQ(bench.send(kEnable).size(), 1U) << "mode " << mode;
        for (std::uint32_t frame_mode = 1; frame_mode <= 4; ++frame_mode) {
            const std::size_t expected = frame_mode == mode ? 1U : 0U;
            EXPECT_EQ(bench.send(frames[frame_mode - 1]).size(), expected)
                << "motor in mode " << mode << ", frame of mode " << frame_mode;
        }
        EXPECT_EQ(bench.send(kDisable).size(), 1U) << "mode " << mode;
    }
}

TEST(EmulatedMotor, IgnoresFramesThatAreNotItsOwn) {
    MotorBench bench;
    const CanFrame ignored[] = {
        standard(0x002, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}),  // another motor
        standard(0x011, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}),  // its master id
        standard(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}),        // 7 bytes
        standard(0x001, {}),
        CanFrame{CanId::extended(0x001), kEnable.data},
        CanFrame{CanId::standard(0x001), kEnable.data, true, false},        // FD
        standard(0x7FF, {0x02, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00, 0x00}),  // motor 2's register
        standard(0x7FF, {0x01, 0x00, 0x33, 0x02, 0x00, 0x00, 0x00, 0x00}),  // unknown register
        standard(0x7FF, {0x01, 0x00, 0x55, 0x02, 0x02, 0x00, 0x00, 0x00}),
        standard(0x7FF, {0x01, 0x00, 0x55, 0x0E, 0x02, 0x00, 0x00, 0x00}),  // read-only
        standard(0x7FF, {0x01, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00}),        // short request
    };
    for (const CanFrame& frame : ignored) {
        EXPECT_TRUE(bench.send(frame).empty()) << frame_line("rx", frame).view();
    }
    EXPECT_FALSE(bench.motor().dynamics().enabled());
    EXPECT_EQ(bench.motor().control_mode(), 1U);
}

TEST(EmulatedMotor, MatchesCommandIdsOnTheirLowElevenBitsAndRegistersOnAllSixteen) {
    MotorConfig config;
    config.motor_id = 0x801;
    config.master_id = 0x811;
    MotorBench bench(config);
    const auto enable = bench.send(kEnable);
    ASSERT_EQ(enable.size(), 1U);
    EXPECT_EQ(enable[0].frame.id, CanId::standard(0x011));
    EXPECT_EQ(bytes_of(enable[0].frame), (Bytes{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19}));

    EXPECT_TRUE(bench.send(kReadMode).empty());
    const auto read = bench.send(standard(0x7FF, {0x01, 0x08, 0x33, 0x0A, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_EQ(read.size(), 1U);
    EXPECT_EQ(bytes_of(read[0].frame), (Bytes{0x01, 0x08, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));

    // VEL frames of motor 0x701 travel at 0x901 cut to 11 bits.
    MotorConfig high = motor_in_mode(3);
    high.motor_id = 0x701;
    MotorBench vel(high);
    EXPECT_EQ(vel.send(CanFrame{CanId::standard(0x701), kEnable.data}).size(), 1U);
    EXPECT_EQ(vel.send(standard(0x101, {0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00})).size(),
              1U);
    EXPECT_TRUE(
        vel.send(standard(0x501, {0x00, 0x00, 0x60, 0xC0, 0x00, 0x00, 0x00, 0x00})).empty());
}

TEST(EmulatedMotor, ReadsAndWritesTheControlModeRegister) {
    MotorBench bench;
    const auto read = bench.send(kReadMode);
    ASSERT_EQ(read.size(), 1U);
    EXPECT_EQ(read[0].frame.id, CanId::standard(0x011));
    EXPECT_EQ(bytes_of(read[0].frame), (Bytes{0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));

    const auto echo = bench.send(write_mode(3));
    ASSERT_EQ(echo.size(), 1U);
    EXPECT_EQ(echo[0].frame.id, CanId::standard(0x011));
    EXPECT_EQ(bytes_of(echo[0].frame), (Bytes{0x01, 0x00, 0x55, 0x0A, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bench.motor().control_mode(), 3U);

    const auto again = bench.send(kReadMode);
    ASSERT_EQ(again.size(), 1U);
    EXPECT_EQ(bytes_of(again[0].frame), (Bytes{0x01, 0x00, 0x33, 0x0A, 0x03, 0x00, 0x00, 0x00}));

    // The new mode gates the command frames at once.
    EXPECT_TRUE(bench.send(mit_frame({})).empty());
    EXPECT_EQ(bench.send(mode_frame(damiao::VelSetpoint{1.0F})).size(), 1U);
}

TEST(EmulatedMotor, AnswersTheOtherRegistersOfTheDriverTable) {
    MotorConfig config;
    config.motor_id = 0x102;
    config.master_id = 0x112;
    config.limits = MitLimits{12.5F, 10.0F, 500.0F, 5.0F, 28.0F};
    MotorBench bench(config);
    const auto read = [&](std::uint8_t reg) {
        const auto answer = bench.send(standard(0x7FF, {0x02, 0x01, 0x33, reg, 0, 0, 0, 0}));
        EXPECT_EQ(answer.size(), 1U) << int{reg};
        return answer.empty() ? Bytes{} : bytes_of(answer[0].frame);
    };
    // Floats as their IEEE-754 bits, little-endian: 12.5 = 0x41480000,
    // 10 = 0x41200000, 28 = 0x41E00000.
    const std::pair<std::uint8_t, Bytes> cases[] = {
        {7, {0x02, 0x01, 0x33, 7, 0x12, 0x01, 0x00, 0x00}},
        {8, {0x02, 0x01, 0x33, 8, 0x02, 0x01, 0x00, 0x00}},
        {9, {0x02, 0x01, 0x33, 9, 0x00, 0x00, 0x00, 0x00}},
        {13, {0x02, 0x01, 0x33, 13, 0x01, 0x00, 0x00, 0x00}},
        {14, {0x02, 0x01, 0x33, 14, 0x05, 0x11, 0x00, 0x00}},
        {21, {0x02, 0x01, 0x33, 21, 0x00, 0x00, 0x48, 0x41}},
        {22, {0x02, 0x01, 0x33, 22, 0x00, 0x00, 0x20, 0x41}},
        {23, {0x02, 0x01, 0x33, 23, 0x00, 0x00, 0xE0, 0x41}},
    };
    for (const auto& [reg, expected] : cases) {
        EXPECT_EQ(read(reg), expected) << int{reg};
    }
    // A write is echoed and read back; the ids written do not move the motor.
    const auto echo = bench.send(standard(0x7FF, {0x02, 0x01, 0x55, 9, 0x10, 0x27, 0, 0}));
    ASSERT_EQ(echo.size(), 1U);
    EXPECT_EQ(read(9), (Bytes{0x02, 0x01, 0x33, 9, 0x10, 0x27, 0x00, 0x00}));
    bench.send(standard(0x7FF, {0x02, 0x01, 0x55, 7, 0x20, 0, 0, 0}));
    EXPECT_EQ(read(7), (Bytes{0x02, 0x01, 0x33, 7, 0x20, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bench.send(standard(0x102, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}))
                  .at(0)
                  .frame.id,
              CanId::standard(0x112));
}

// -------------------------------------------------------------- faults

TEST(EmulatedMotorFaults, BendTheAnswerToACommand) {
    const Bytes feedback{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x19, 0x19};
    struct Case {
        std::string_view name;
        Faults faults;
        std::vector<std::pair<CanId, Bytes>> answer;
        std::uint64_t late_nanos = 0;
    };
    Faults silent;
    silent.silent = true;
    Faults delay;
    delay.delay_ms = 30;
    Faults noise;
    noise.noise = 3;
    Faults extended;
    extended.extended_reply = true;
    Faults short_reply;
    short_reply.short_reply = 5;
    Faults empty_reply;
    empty_reply.short_reply = 0;
    Faults register_only;
    register_only.register_junk = true;
    register_only.register_reply_id = 0x123;
    register_only.report_mode = 257;
    const Case cases[] = {
        {"none", {}, {{CanId::standard(0x011), feedback}}},
        {"silent", silent, {}},
        {"delay", delay, {{CanId::standard(0x011), feedback}}, 30 * kMillis},
        {"noise",
         noise,
         {{CanId::standard(0x012), {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x01}},
          {CanId::standard(0x013), {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x02}},
          {CanId::standard(0x014), {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x03}},
          {CanId::standard(0x011), feedback}}},
        {"extended-reply", extended, {{CanId::extended(0x011), feedback}}},
        {"short-reply", short_reply, {{CanId::standard(0x011), {0x11, 0x7F, 0xFF, 0x7F, 0xF7}}}},
        {"short-reply=0", empty_reply, {{CanId::standard(0x011), {}}}},
        {"register faults", register_only, {{CanId::standard(0x011), feedback}}},
    };
    for (const Case& c : cases) {
        MotorBench bench(motor_with(c.faults));
        const auto answer = bench.send(kEnable);
        ASSERT_EQ(answer.size(), c.answer.size()) << c.name;
        for (std::size_t i = 0; i < answer.size(); ++i) {
            EXPECT_EQ(answer[i].frame.id, c.answer[i].first) << c.name << " frame " << i;
            EXPECT_EQ(bytes_of(answer[i].frame), c.answer[i].second) << c.name << " frame " << i;
            EXPECT_EQ(answer[i].due.nanos, bench.now() + c.late_nanos) << c.name << " frame " << i;
        }
        // Whatever it answers, the command took effect.
        EXPECT_TRUE(bench.motor().dynamics().enabled()) << c.name;
    }
}

TEST(EmulatedMotorFaults, BendTheAnswerToARegisterRead) {
    const Bytes reply{0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00};
    struct Case {
        std::string_view name;
        Faults faults;
        std::vector<std::pair<CanId, Bytes>> answer;
    };
    Faults report;
    report.report_mode = 257;
    Faults reply_id;
    reply_id.register_reply_id = 0x123;
    Faults reply_motor;
    reply_motor.register_reply_motor_id = 5;
    Faults junk;
    junk.register_junk = true;
    Faults extended_junk;
    extended_junk.register_junk = true;
    extended_junk.extended_reply = true;
    extended_junk.register_reply_id = 0x7F0;
    Faults noise;
    noise.noise = 2;
    noise.short_reply = 7;
    Faults silent;
    silent.silent = true;
    const Case cases[] = {
        {"none", {}, {{CanId::standard(0x011), reply}}},
        {"report-mode",
         report,
         {{CanId::standard(0x011), {0x01, 0x00, 0x33, 0x0A, 0x01, 0x01, 0x00, 0x00}}}},
        {"register-reply-id", reply_id, {{CanId::standard(0x123), reply}}},
        {"register-reply-motor-id",
         reply_motor,
         {{CanId::standard(0x011), {0x05, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}}}},
        {"register-junk",
         junk,
         {{CanId::standard(0x011), {0x01, 0x00, 0x33, 0x0A, 0xFE, 0xFF, 0xFF}},
          {CanId::standard(0x011), {0x01, 0x00, 0x55, 0x0A, 0xFE, 0xFF, 0xFF, 0xFF}},
          {CanId::standard(0x011), reply}}},
        {"junk at an extended reply id",
         extended_junk,
         {{CanId::extended(0x7F0), {0x01, 0x00, 0x33, 0x0A, 0xFE, 0xFF, 0xFF}},
          {CanId::extended(0x7F0), {0x01, 0x00, 0x55, 0x0A, 0xFE, 0xFF, 0xFF, 0xFF}},
          {CanId::extended(0x7F0), reply}}},
        {"noise and short-reply",
         noise,
         {{CanId::standard(0x012), {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x01}},
          {CanId::standard(0x013), {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x02}},
          {CanId::standard(0x011), {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00}}}},
        {"silent", silent, {}},
    };
    for (const Case& c : cases) {
        MotorBench bench(motor_with(c.faults));
        const auto answer = bench.send(kReadMode);
        ASSERT_EQ(answer.size(), c.answer.size()) << c.name;
        for (std::size_t i = 0; i < answer.size(); ++i) {
            EXPECT_EQ(answer[i].frame.id, c.answer[i].first) << c.name << " frame " << i;
            EXPECT_EQ(bytes_of(answer[i].frame), c.answer[i].second) << c.name << " frame " << i;
        }
    }
}

TEST(EmulatedMotorFaults, IgnoreWritesEchoesButKeepsTheMode) {
    Faults faults;
    faults.ignore_writes = true;
    faults.register_reply_motor_id = 9;
    MotorBench bench(motor_with(faults));
    const auto echo = bench.send(write_mode(2));
    ASSERT_EQ(echo.size(), 1U);
    EXPECT_EQ(bytes_of(echo[0].frame), (Bytes{0x09, 0x00, 0x55, 0x0A, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bench.motor().control_mode(), 1U);
    const auto read = bench.send(kReadMode);
    ASSERT_EQ(read.size(), 1U);
    EXPECT_EQ(bytes_of(read[0].frame), (Bytes{0x09, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(bench.send(mode_frame(damiao::PosVelSetpoint{1.0F, 1.0F})).empty());
}

TEST(EmulatedMotorFaults, ReportModeChangesTheReadingOnly) {
    Faults faults;
    faults.report_mode = 257;
    MotorBench bench(motor_with(faults));
    EXPECT_EQ(bench.send(mit_frame({})).size(), 1U);
    EXPECT_EQ(bench.send(write_mode(2)).size(), 1U);
    const auto read = bench.send(kReadMode);
    ASSERT_EQ(read.size(), 1U);
    EXPECT_EQ(bytes_of(read[0].frame), (Bytes{0x01, 0x00, 0x33, 0x0A, 0x01, 0x01, 0x00, 0x00}));
    EXPECT_EQ(bench.send(mode_frame(damiao::PosVelSetpoint{1.0F, 1.0F})).size(), 1U);
}

TEST(EmulatedMotorFaults, NoiseIdsWrapAroundAndSkipTheRegisterId) {
    MotorConfig config;
    config.master_id = 0x7FD;
    config.faults.noise = 4;
    MotorBench bench(config);
    const auto answer = bench.send(kEnable);
    ASSERT_EQ(answer.size(), 5U);
    const CanId expected[] = {CanId::standard(0x7FE), CanId::standard(0x000),
                              CanId::standard(0x001), CanId::standard(0x002),
                              CanId::standard(0x7FD)};
    for (std::size_t i = 0; i < answer.size(); ++i) {
        EXPECT_EQ(answer[i].frame.id, expected[i]) << i;
    }
}

// -------------------------------------------------------------- physics

TEST(EmulatedMotorPhysics, DisabledMotorTakesNoSetpointAndStaysPut) {
    MotorBench bench;
    const MotorState state = bench.feedback(mit_frame({0.0F, 0.0F, 0.0F, 0.0F, 10.0F}));
    EXPECT_EQ(state.error, 0);
    EXPECT_NEAR(state.torque, 0.0F, 0.01F);
    const MotorState later = bench.feedback(kSetZero, kSeconds);
    EXPECT_NEAR(later.position, 0.0F, 0.001F);
    EXPECT_NEAR(later.velocity, 0.0F, 0.02F);
}

TEST(EmulatedMotorPhysics, MitImpedanceHoldsTheTargetAndLimitsTheTorque) {
    MotorBench bench;
    bench.send(kEnable);
    const MotorState pushed = bench.feedback(mit_frame({12.5F, 0.0F, 500.0F, 0.0F, 0.0F}));
    EXPECT_EQ(pushed.error, 1);
    EXPECT_EQ(pushed.torque, 10.0F);  // 500 * 12.5 clamped to t_max

    bench.feedback(mit_frame({1.0F, 0.0F, 20.0F, 1.0F, 0.0F}));
    const MotorState held =
        bench.feedback(mit_frame({1.0F, 0.0F, 20.0F, 1.0F, 0.0F}), 2 * kSeconds);
    EXPECT_NEAR(held.position, 1.0F, 0.01F);
    EXPECT_NEAR(held.velocity, 0.0F, 0.02F);
}

TEST(EmulatedMotorPhysics, VelocityModeReachesAndHoldsItsVelocity) {
    MotorBench bench(motor_in_mode(3));
    bench.send(kEnable);
    bench.feedback(mode_frame(damiao::VelSetpoint{5.0F}));
    const MotorState a = bench.feedback(mode_frame(damiao::VelSetpoint{5.0F}), kSeconds);
    EXPECT_NEAR(a.velocity, 5.0F, 0.05F);
    const MotorState b = bench.feedback(mode_frame(damiao::VelSetpoint{5.0F}), kSeconds / 2);
    EXPECT_NEAR(b.position - a.position, 2.5F, 0.05F);
}

TEST(EmulatedMotorPhysics, PositionModesMoveAtTheGivenSpeedAndStopAtTheTarget) {
    MotorBench pos_vel(motor_in_mode(2));
    pos_vel.send(kEnable);
    pos_vel.feedback(mode_frame(damiao::PosVelSetpoint{2.0F, 1.0F}));
    const MotorState halfway =
        pos_vel.feedback(mode_frame(damiao::PosVelSetpoint{2.0F, 1.0F}), kSeconds);
    EXPECT_NEAR(halfway.position, 1.0F, 0.03F);
    EXPECT_NEAR(halfway.velocity, 1.0F, 0.05F);
    const MotorState arrived =
        pos_vel.feedback(mode_frame(damiao::PosVelSetpoint{2.0F, 1.0F}), 2 * kSeconds);
    EXPECT_NEAR(arrived.position, 2.0F, 0.01F);
    EXPECT_NEAR(arrived.velocity, 0.0F, 0.02F);

    MotorBench force_pos(motor_in_mode(4));
    force_pos.send(kEnable);
    const damiao::ForcePosSetpoint gentle{2.0F, 1.0F, 0.2F};
    force_pos.feedback(mode_frame(gentle));
    const MotorState moving = force_pos.feedback(mode_frame(gentle), kSeconds / 2);
    EXPECT_LE(std::abs(moving.torque), 0.2F * 10.0F + 0.01F);
    EXPECT_NEAR(moving.position, 0.5F, 0.05F);
    const MotorState there = force_pos.feedback(mode_frame(gentle), 3 * kSeconds);
    EXPECT_NEAR(there.position, 2.0F, 0.02F);

    MotorBench limp(motor_in_mode(4));
    limp.send(kEnable);
    limp.feedback(mode_frame(damiao::ForcePosSetpoint{2.0F, 1.0F, 0.0F}));
    const MotorState still =
        limp.feedback(mode_frame(damiao::ForcePosSetpoint{2.0F, 1.0F, 0.0F}), kSeconds);
    EXPECT_NEAR(still.position, 0.0F, 0.001F);
}

TEST(EmulatedMotorPhysics, SetZeroMakesThePresentPositionReadZero) {
    MotorBench bench(motor_in_mode(2));
    bench.send(kEnable);
    bench.feedback(mode_frame(damiao::PosVelSetpoint{3.0F, 2.0F}));
    const MotorState before =
        bench.feedback(mode_frame(damiao::PosVelSetpoint{3.0F, 2.0F}), 3 * kSeconds);
    EXPECT_NEAR(before.position, 3.0F, 0.01F);
    const auto zeroed = bench.send(kSetZero);
    ASSERT_EQ(zeroed.size(), 1U);
    EXPECT_EQ(bytes_of(zeroed[0].frame)[1], 0x7F);  // position raw 0x7FFF: 0
    EXPECT_EQ(bytes_of(zeroed[0].frame)[2], 0xFF);
    // The same target is now 3 further on.
    const MotorState after =
        bench.feedback(mode_frame(damiao::PosVelSetpoint{3.0F, 2.0F}), 3 * kSeconds);
    EXPECT_NEAR(after.position, 3.0F, 0.01F);
}

TEST(EmulatedMotorPhysics, TemperaturesFollowTheTorqueAndOverheatLatchesUntilCleared) {
    MotorBench bench;
    bench.send(kEnable);
    const damiao::MitSetpoint full_torque{0.0F, 0.0F, 0.0F, 0.0F, 10.0F};
    bench.feedback(mit_frame(full_torque));
    // At full torque each temperature tends to ambient plus its rise with its
    // time constant: driver stage +120 °C over 20 s, rotor +90 °C over 60 s.
    const MotorState warm = bench.feedback(mit_frame(full_torque), 10 * kSeconds);
    EXPECT_EQ(warm.t_mos, std::lround(145.0 - 120.0 * std::exp(-10.0 / 20.0)));
    EXPECT_EQ(warm.t_rotor, std::lround(115.0 - 90.0 * std::exp(-10.0 / 60.0)));
    EXPECT_EQ(warm.error, 1);

    const MotorState hot = bench.feedback(mit_frame(full_torque), 30 * kSeconds);
    EXPECT_EQ(hot.error, MotorDynamics::kOverheat);
    EXPECT_NEAR(hot.torque, 0.0F, 20.0F / 4095.0F);
    EXPECT_FALSE(bench.motor().dynamics().enabled());
    EXPECT_EQ(bench.feedback(kEnable).error, MotorDynamics::kOverheat);  // refused while latched

    EXPECT_EQ(bench.feedback(kClearError).error, 0);
    const MotorState cooled = bench.feedback(kEnable, 600 * kSeconds);
    EXPECT_EQ(cooled.error, 1);
    EXPECT_EQ(cooled.t_mos, 25);
    EXPECT_EQ(cooled.t_rotor, 25);
}

TEST(EmulatedMotorPhysics, SameEventsGiveTheSameAnswersAndTimeNeverRunsBack) {
    const auto run = [] {
        MotorBench bench;
        std::vector<Bytes> answers;
        const std::uint64_t gaps[] = {kMillis, 3 * kMillis, 250'001, 7 * kSeconds, 1};
        for (const std::uint64_t gap : gaps) {
            bench.send(kEnable, 0);
            for (const auto& out : bench.send(mit_frame({2.0F, 1.0F, 30.0F, 0.3F, 0.5F}), gap)) {
                answers.push_back(bytes_of(out.frame));
            }
        }
        return answers;
    };
    EXPECT_EQ(run(), run());

    MotorConfig config;
    EmulatedMotor motor(config, MonotonicTime{kStart});
    Outbox out(EmulatedMotor::kMaxFramesPerAnswer);
    motor.on_frame(kEnable, MonotonicTime{kStart + kSeconds}, out);
    motor.on_frame(mit_frame({0.0F, 0.0F, 0.0F, 0.0F, 5.0F}), MonotonicTime{kStart + kSeconds},
                   out);
    const double position = motor.dynamics().rotor().position;
    motor.on_frame(kReadMode, MonotonicTime{kStart}, out);
    motor.on_frame(mit_frame({0.0F, 0.0F, 0.0F, 0.0F, 5.0F}), MonotonicTime{kStart}, out);
    EXPECT_EQ(motor.dynamics().rotor().position, position);
}

// ------------------------------------------------------- bus and queue

TEST(Emulator, HandsEachFrameToEveryMotor) {
    MotorConfig first;
    MotorConfig aliased;  // same low 11 bits, same master id
    aliased.motor_id = 0x801;
    MotorConfig other;
    other.motor_id = 2;
    other.master_id = 0x12;
    const MotorConfig motors[] = {first, aliased, other};
    Emulator emulator(motors, MonotonicTime{kStart});
    Outbox out(emulator.outbox_capacity());
    EXPECT_EQ(emulator.outbox_capacity(), 3 * EmulatedMotor::kMaxFramesPerAnswer);

    emulator.on_frame(kEnable, MonotonicTime{kStart + kMillis}, out);
    ASSERT_EQ(out.frames().size(), 2U);
    EXPECT_EQ(out.frames()[0].frame.id, CanId::standard(0x011));
    EXPECT_EQ(out.frames()[1].frame.id, CanId::standard(0x011));

    out.clear();
    emulator.on_frame(standard(0x7FF, {0x02, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00, 0x00}),
                      MonotonicTime{kStart + 2 * kMillis}, out);
    ASSERT_EQ(out.frames().size(), 1U);
    EXPECT_EQ(out.frames()[0].frame.id, CanId::standard(0x012));
    EXPECT_TRUE(emulator.motors()[0].dynamics().enabled());
    EXPECT_FALSE(emulator.motors()[2].dynamics().enabled());
}

TEST(Emulator, OutboxDropsWhatExceedsItsCapacity) {
    Outbox out(2);
    const Outgoing frame{kEnable, MonotonicTime{1}};
    out.push(frame);
    out.push(frame);
    out.push(frame);
    EXPECT_EQ(out.frames().size(), 2U);
    EXPECT_EQ(out.dropped(), 1U);
}

TEST(PendingFrames, ReleasesEarliestDueFirstAndEqualDueInArrivalOrder) {
    PendingFrames pending(4);
    const auto at = [](std::uint64_t due, std::uint16_t id) {
        return Outgoing{standard(id, {}), MonotonicTime{due}};
    };
    EXPECT_TRUE(pending.push(at(30, 0x001)));
    EXPECT_TRUE(pending.push(at(10, 0x002)));
    EXPECT_TRUE(pending.push(at(30, 0x003)));
    EXPECT_TRUE(pending.push(at(10, 0x004)));
    EXPECT_FALSE(pending.push(at(5, 0x005)));
    std::vector<std::uint32_t> order;
    while (!pending.empty()) {
        order.push_back(pending.front().frame.id.value);
        pending.pop();
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{0x002, 0x004, 0x001, 0x003}));
}

TEST(ArrivalClock, MapsWallStampsOntoTheMonotonicClock) {
    ArrivalClock clock;
    EXPECT_FALSE(clock.map(1'700'000'000 * kSeconds));  // not calibrated
    constexpr std::int64_t wall = 1'700'000'000'000'000'000;
    // The late edge of the bracket: a frame never maps sooner than it can
    // have arrived.
    clock.calibrate(MonotonicTime{100 * kSeconds}, wall, MonotonicTime{100 * kSeconds + 2'000});
    EXPECT_EQ(clock.map(wall + 5 * kMillis), MonotonicTime{100 * kSeconds + 5 * kMillis + 2'000});
    EXPECT_EQ(clock.map(wall + 7 * kMillis), MonotonicTime{100 * kSeconds + 7 * kMillis + 2'000});
    // A stamp earlier than the last one: the wall clock was set back.
    EXPECT_FALSE(clock.map(wall + 6 * kMillis));
    EXPECT_EQ(clock.latest(), MonotonicTime{100 * kSeconds + 7 * kMillis + 2'000});
    // Set forward by an hour: a stamp from before it is measured again maps
    // an hour late, and once measured, the stamps after it map right again.
    constexpr std::uint64_t hour = 3600 * kSeconds;
    EXPECT_EQ(clock.map(wall + hour + 8 * kMillis),
              MonotonicTime{100 * kSeconds + hour + 8 * kMillis + 2'000});
    clock.calibrate(MonotonicTime{100 * kSeconds + 9 * kMillis}, wall + hour + 9 * kMillis,
                    MonotonicTime{100 * kSeconds + 9 * kMillis + 2'000});
    EXPECT_EQ(clock.map(wall + hour + 10 * kMillis),
              MonotonicTime{100 * kSeconds + 10 * kMillis + 2'000});
}

TEST(ArrivalClock, APreemptedMeasurementDoesNotMoveTheOffsetButASetWallClockDoes) {
    ArrivalClock clock;
    constexpr std::int64_t wall = 1'700'000'000'000'000'000;
    clock.calibrate(MonotonicTime{100 * kSeconds}, wall, MonotonicTime{100 * kSeconds});
    // Preempted for 15 ms between the monotonic and the wall reading.
    clock.calibrate(MonotonicTime{101 * kSeconds}, wall + kSeconds + 15 * kMillis,
                    MonotonicTime{101 * kSeconds + 15 * kMillis});
    EXPECT_EQ(clock.map(wall + 2 * kSeconds), MonotonicTime{102 * kSeconds});
    // The wall clock set forward by an hour.
    clock.calibrate(MonotonicTime{103 * kSeconds}, wall + 3603 * kSeconds,
                    MonotonicTime{103 * kSeconds + 20 * kMillis});
    EXPECT_EQ(clock.map(wall + 3604 * kSeconds), MonotonicTime{104 * kSeconds + 20 * kMillis});
}

TEST(ArrivalClock, StampsKeepTheirSpacingUntilABetterOffsetMayBeTakenIntoUse) {
    // The monotonic clock truly reads 100 s + 25 us when the wall clock reads
    // `wall`; a first, wide bracket, then a tight one around the truth.
    ArrivalClock clock;
    constexpr std::int64_t wall = 1'700'000'000'000'000'000;
    constexpr std::uint64_t truth = 100 * kSeconds + 25'000;
    clock.calibrate(MonotonicTime{100 * kSeconds}, wall, MonotonicTime{100 * kSeconds + 30'000});
    const auto first = clock.map(wall + kMillis);
    clock.calibrate(MonotonicTime{100 * kSeconds + 2 * kMillis + 20'000}, wall + 2 * kMillis,
                    MonotonicTime{100 * kSeconds + 2 * kMillis + 28'000});
    const auto second = clock.map(wall + 3 * kMillis);
    ASSERT_TRUE(first && second);
    // Frames that may still contend on the wire stay as far apart as their
    // stamps, or a few microseconds would decide which of them goes first.
    EXPECT_EQ(second->nanos - first->nanos, 2 * kMillis);
    EXPECT_GE(first->nanos, truth + kMillis);
    // Taken into use, the tight bracket's late edge: sooner, never too soon.
    clock.refine();
    EXPECT_EQ(clock.map(wall + 4 * kMillis), MonotonicTime{truth + 4 * kMillis + 3'000});
}

// ------------------------------------------------------------- text faces

TEST(FrameLine, ShowsIdLengthFlagsAndBytes) {
    EXPECT_EQ(frame_line("rx", kEnable).view(), "rx 001 [8] FF FF FF FF FF FF FF FC\n");
    EXPECT_EQ(frame_line("tx", CanFrame{CanId::extended(0x11), Payload{0x11, 0x7F}}).view(),
              "tx 00000011 [2] 11 7F\n");
    EXPECT_EQ(frame_line("rx", CanFrame{CanId::standard(0x123), Payload{0xAB}, true, true}).view(),
              "rx 123 [1] fd brs AB\n");
    EXPECT_EQ(frame_line("rx", standard(0x7FF, {})).view(), "rx 7FF [0]\n");
    const Bytes big(64, 0x5A);
    const FrameLine line =
        frame_line("rx", CanFrame{CanId::extended(0x1FFFFFFF), Payload(big), true, false});
    EXPECT_EQ(line.view().substr(0, 26), "rx 1FFFFFFF [64] fd 5A 5A ");
    EXPECT_EQ(line.view().size(), 20 + 64 * 3);
    EXPECT_EQ(line.view().back(), '\n');
}

std::expected<Options, std::string> parse(std::initializer_list<std::string_view> args) {
    const std::vector<std::string_view> list(args);
    return parse_options(list);
}

TEST(EmulatorOptions, ReadsMotorsFaultsAndSwitches) {
    const auto options =
        parse({"--iface=vcan1", "--motor", "0x801:0x811:DM4340:3", "--motor", "2:18", "--fault",
               "delay=30", "--fault", "noise=2@2", "--fault", "delay=5@0x801", "--fault",
               "silent@2", "--fault=register-reply-id=0x7f0", "--ready-file", "/x/ready", "--log",
               "--duration", "1.5"});
    ASSERT_TRUE(options) << options.error();
    EXPECT_FALSE(options->help);
    EXPECT_EQ(options->iface, "vcan1");
    ASSERT_EQ(options->motors.size(), 2U);
    const MotorConfig& a = options->motors[0];
    EXPECT_EQ(a.motor_id, 0x801);
    EXPECT_EQ(a.master_id, 0x811);
    EXPECT_EQ(a.preset, "dm4340");
    EXPECT_EQ(a.limits.t_max, 28.0F);
    EXPECT_EQ(a.limits.v_max, 10.0F);
    EXPECT_EQ(a.control_mode, 3U);
    EXPECT_EQ(a.faults.delay_ms, 5U);  // its own switch wins, whatever the order
    EXPECT_EQ(a.faults.noise, 0U);
    EXPECT_FALSE(a.faults.silent);
    EXPECT_EQ(a.faults.register_reply_id, 0x7F0);
    const MotorConfig& b = options->motors[1];
    EXPECT_EQ(b.motor_id, 2);
    EXPECT_EQ(b.master_id, 18);
    EXPECT_EQ(b.preset, "dm4310");
    EXPECT_EQ(b.limits.t_max, 10.0F);
    EXPECT_EQ(b.control_mode, 1U);
    EXPECT_EQ(b.faults.delay_ms, 30U);
    EXPECT_EQ(b.faults.noise, 2U);
    EXPECT_TRUE(b.faults.silent);
    EXPECT_EQ(options->ready_file, "/x/ready");
    EXPECT_TRUE(options->log);
    EXPECT_EQ(options->duration_nanos, 1'500'000'000U);
}

TEST(EmulatorOptions, ReadsEveryFaultSwitch) {
    const auto options = parse({"--iface", "vcan0", "--motor", "1:0x11", "--fault", "silent",
                                "--fault", "extended-reply", "--fault", "short-reply=7", "--fault",
                                "ignore-writes", "--fault", "report-mode=257", "--fault",
                                "register-reply-motor-id=0xFFFF", "--fault", "register-junk"});
    ASSERT_TRUE(options) << options.error();
    const Faults& faults = options->motors.at(0).faults;
    EXPECT_TRUE(faults.silent);
    EXPECT_TRUE(faults.extended_reply);
    EXPECT_EQ(faults.short_reply, 7);
    EXPECT_TRUE(faults.ignore_writes);
    EXPECT_EQ(faults.report_mode, 257U);
    EXPECT_EQ(faults.register_reply_motor_id, 0xFFFF);
    EXPECT_TRUE(faults.register_junk);
}

TEST(EmulatorOptions, HelpWinsOverEverythingElse) {
    const auto options = parse({"--bogus", "--help"});
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->help);
    EXPECT_THAT(usage_text(), ::testing::HasSubstr("Presets: dm3507 dm4310 dm4310p dm4340 "));
}

TEST(EmulatorOptions, RefusesBadArgumentsWithOneLineSayingWhy) {
    struct Case {
        std::vector<std::string_view> args;
        std::string_view message;
    };
    const Case cases[] = {
        {{"--motor", "1:2"}, "--iface is required"},
        {{"--iface", "vcan0"}, "at least one --motor is required"},
        {{"--iface", "vcan0", "--motor"}, "option '--motor' needs a value"},
        {{"--iface", "vcan0", "--motor", "1:2", "--verbose"}, "unknown option '--verbose'"},
        {{"--iface", "vcan0", "stray"}, "unexpected argument 'stray'"},
        {{"--iface", "vcan0", "--log=yes"}, "option '--log' takes no value"},
        {{"--iface", "vcan0", "--motor", "1"}, "--motor '1': expected ID:MASTER[:PRESET[:MODE]]"},
        {{"--iface", "vcan0", "--motor", "1:2:dm4310:1:x"},
         "--motor '1:2:dm4310:1:x': expected ID:MASTER[:PRESET[:MODE]]"},
        {{"--iface", "vcan0", "--motor", "0x10000:2"},
         "--motor '0x10000:2': motor id '0x10000' is not a number from 0 to 0xFFFF"},
        {{"--iface", "vcan0", "--motor", "1:-2"},
         "--motor '1:-2': master id '-2' is not a number from 0 to 0xFFFF"},
        {{"--iface", "vcan0", "--motor", "1:0x"},
         "--motor '1:0x': master id '0x' is not a number from 0 to 0xFFFF"},
        {{"--iface", "vcan0", "--motor", "1:2:dm4311"},
         "--motor '1:2:dm4311': unknown preset 'dm4311'"},
        {{"--iface", "vcan0", "--motor", "1:2:dm4310:5"},
         "--motor '1:2:dm4310:5': control mode '5' is not 1, 2, 3 or 4"},
        {{"--iface", "vcan0", "--motor", "1:2:dm4310:0"},
         "--motor '1:2:dm4310:0': control mode '0' is not 1, 2, 3 or 4"},
        {{"--iface", "vcan0", "--motor", "1:2", "--motor", "0x1:3"}, "motor id 1 is given twice"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "loud"},
         "--fault 'loud': unknown fault 'loud'"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "silent=1"},
         "--fault 'silent=1': silent takes no value"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "delay"},
         "--fault 'delay': delay needs a value: milliseconds from 0 to 600000"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "noise=17"},
         "--fault 'noise=17': noise must be a count from 0 to 16"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "short-reply=8"},
         "--fault 'short-reply=8': short-reply must be a length from 0 to 7"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "register-reply-id=0x800"},
         "--fault 'register-reply-id=0x800': register-reply-id must be a standard id from 0 to "
         "0x7FF"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "silent@3"},
         "--fault 'silent@3': no --motor has id 3"},
        {{"--iface", "vcan0", "--motor", "1:2", "--fault", "silent@x"},
         "--fault 'silent@x': motor id 'x' is not a number from 0 to 0xFFFF"},
        {{"--iface", "vcan0", "--motor", "1:2", "--duration", "0"},
         "--duration '0': expected a positive number of seconds"},
        {{"--iface", "vcan0", "--motor", "1:2", "--duration", "2s"},
         "--duration '2s': expected a positive number of seconds"},
    };
    for (const Case& c : cases) {
        const auto options = parse_options(c.args);
        ASSERT_FALSE(options) << c.message;
        EXPECT_EQ(options.error(), c.message);
    }
}

}  // namespace
}  // namespace axiolink::emulator
