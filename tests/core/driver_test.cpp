#include "damiao/driver.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/scripted_transport.hpp"

namespace axiolink::damiao {
namespace {

using testing::ScriptedTransport;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::IdKind;
using transport::Payload;
using transport::TransportError;

// candump notation: "001#FFFFFFFFFFFFFFFC"; Extended ids take 8 digits and
// FD frames "##<flags>", so a wrong kind or frame type shows in the text.
std::string candump(const CanFrame& frame) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = frame.id.kind == IdKind::Extended ? 28 : 8; shift >= 0; shift -= 4) {
        text += kHex[(frame.id.value >> shift) & 0xFU];
    }
    text += frame.fd ? (frame.brs ? "##1" : "##0") : (frame.brs ? "#brs#" : "#");
    for (const std::uint8_t byte : frame.data.bytes()) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xFU];
    }
    return text;
}

std::vector<std::string> sent_frames(const ScriptedTransport& bus) {
    std::vector<std::string> texts;
    for (const CanFrame& frame : bus.sent) {
        texts.push_back(candump(frame));
    }
    return texts;
}

CanFrame frame_at(CanId id, Payload data) {
    return CanFrame{id, data, false, false};
}

const Payload kFeedback{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A, 0x1C};

constexpr std::uint64_t kMs = 1'000'000;

using Command = Result<MotorState> (Damiao::*)(transport::CanTransport&) const;

TEST(DamiaoCommands, SpecialCommandsSendTheirCodeAtTheMotorId) {
    const struct {
        Command command;
        const char* frame;
    } cases[] = {
        {&Damiao::enable, "001#FFFFFFFFFFFFFFFC"},
        {&Damiao::disable, "001#FFFFFFFFFFFFFFFD"},
        {&Damiao::set_zero, "001#FFFFFFFFFFFFFFFE"},
        {&Damiao::clear_error, "001#FFFFFFFFFFFFFFFB"},
    };
    const Damiao motor(0x01, 0x11);
    for (const auto& c : cases) {
        ScriptedTransport bus;
        bus.queue(frame_at(CanId::standard(0x011), kFeedback));
        const Result<MotorState> state = (motor.*c.command)(bus);
        ASSERT_TRUE(state.has_value()) << c.frame << ": " << state.error().message();
        EXPECT_EQ(sent_frames(bus), std::vector<std::string>{c.frame});
    }
}

TEST(DamiaoCommands, IdsAreCutToElevenBits) {
    const Damiao motor(0x801, 0x811);
    ScriptedTransport bus;
    // Had the master id not been cut, this frame would be taken as the reply.
    bus.queue(frame_at(CanId::standard(0x811), Payload{0x0F, 0, 0, 0, 0, 0, 0, 0}));
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    const Result<MotorState> state = motor.enable(bus);
    ASSERT_TRUE(state.has_value()) << state.error().message();
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(sent_frames(bus), std::vector<std::string>{"001#FFFFFFFFFFFFFFFC"});
}

TEST(DamiaoCommands, MitControlPacksWithTheDriversLimits) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    ASSERT_TRUE(Damiao(0x01, 0x11).mit_control(bus, MitSetpoint{}).has_value());

    // Doubling every limit and every value gives bit-identical packing, so a
    // driver that ignored its own limits would not produce the worked example.
    const Damiao doubled(0x01, 0x11, MitLimits{25.0F, 60.0F, 1000.0F, 10.0F, 20.0F});
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    ASSERT_TRUE(doubled.mit_control(bus, MitSetpoint{2.0F, -4.0F, 40.0F, 1.0F, 0.5F}).has_value());

    EXPECT_EQ(sent_frames(bus),
              (std::vector<std::string>{"001#7FFF7FF0000007FF", "001#8A3C7770A3199832"}));
}

TEST(DamiaoCommands, ControlSendsEachModeAtItsOffset) {
    const struct {
        std::uint16_t motor_id;
        ControlSetpoint setpoint;
        const char* frame;
    } cases[] = {
        {0x001, MitSetpoint{}, "001#7FFF7FF0000007FF"},
        {0x001, PosVelSetpoint{1.0F, 2.0F}, "101#0000803F00000040"},
        {0x001, VelSetpoint{-3.5F}, "201#000060C000000000"},
        {0x001, ForcePosSetpoint{0.5F, 12.345F, 0.5F}, "301#0000003FD2048813"},
        {0x701, VelSetpoint{-3.5F}, "101#000060C000000000"},
        {0x7FF, ForcePosSetpoint{0.0F, 150.0F, -0.2F}, "2FF#0000000010270000"},
    };
    for (const auto& c : cases) {
        ScriptedTransport bus;
        bus.queue(frame_at(CanId::standard(0x011), kFeedback));
        const Result<MotorState> state = Damiao(c.motor_id, 0x11).control(bus, c.setpoint);
        ASSERT_TRUE(state.has_value()) << c.frame << ": " << state.error().message();
        EXPECT_EQ(sent_frames(bus), std::vector<std::string>{c.frame});
    }
}

TEST(DamiaoReplies, FeedbackIsDecodedWithTheDriversLimits) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    const Result<MotorState> state = Damiao(0x01, 0x11).enable(bus);
    ASSERT_TRUE(state.has_value()) << state.error().message();
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(state->error, 1);
    EXPECT_EQ(state->position, -0.00019073486328125F);
    EXPECT_EQ(state->velocity, -0.0073261260986328125F);
    EXPECT_EQ(state->torque, -0.0024423599243164062F);
    EXPECT_EQ(state->t_mos, 26);
    EXPECT_EQ(state->t_rotor, 28);

    // Full scale decodes to exactly the limits of the driver (the dm6248p preset).
    const Damiao dm6248p(0x01, 0x11, MitLimits{12.566F, 20.0F, 500.0F, 5.0F, 120.0F});
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    const Result<MotorState> full = dm6248p.enable(bus);
    ASSERT_TRUE(full.has_value()) << full.error().message();
    EXPECT_EQ(full->position, 12.566F);
    EXPECT_EQ(full->velocity, 20.0F);
    EXPECT_EQ(full->torque, 120.0F);
}

TEST(DamiaoReplies, OnlyTheFirstFrameAtTheStandardMasterIdIsTaken) {
    ScriptedTransport bus;
    const Payload other{0x02, 0, 0, 0, 0, 0, 0, 0};
    bus.queue(frame_at(CanId::standard(0x012), other));
    bus.queue(frame_at(CanId::extended(0x011), other));
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    bus.queue(frame_at(CanId::standard(0x011), other));

    const Result<MotorState> state = Damiao(0x01, 0x11).enable(bus);
    ASSERT_TRUE(state.has_value()) << state.error().message();
    EXPECT_EQ(state->t_rotor, 28);
    // The later frame at the master id stays for whoever reads next.
    EXPECT_EQ(bus.reads.size(), 1U);
}

TEST(DamiaoReplies, LongerRepliesDecodeFromTheirFirstEightBytes) {
    ScriptedTransport bus;
    CanFrame fd_reply{CanId::standard(0x011),
                      Payload{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1A, 0x1C, 9, 9, 9, 9}, true,
                      true};
    bus.queue(fd_reply);
    const Result<MotorState> state = Damiao(0x01, 0x11).enable(bus);
    ASSERT_TRUE(state.has_value()) << state.error().message();
    EXPECT_EQ(state->t_mos, 26);
    EXPECT_EQ(state->t_rotor, 28);
}

TEST(DamiaoFailures, NoReplyTimesOutAfterTheDriversTimeout) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012), kFeedback), 5 * kMs);
    const Damiao motor(0x01, 0x11, MitLimits{}, Duration::from_millis(20));

    const Result<MotorState> state = motor.enable(bus);

    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error().message(), "transport error: timeout waiting for frame");
    ASSERT_EQ(bus.send_times.size(), 1U);
    EXPECT_EQ(bus.clock_ns - bus.send_times[0], 20 * kMs);
}

TEST(DamiaoFailures, SendAndReceiveErrorsArePassedOnUnchanged) {
    ScriptedTransport bus;
    bus.send_error = TransportError::backend(19);
    const Result<MotorState> not_sent = Damiao(0x01, 0x11).disable(bus);
    ASSERT_FALSE(not_sent.has_value());
    EXPECT_EQ(not_sent.error().message(),
              "transport error: backend error: No such device (os error 19)");
    EXPECT_TRUE(bus.read_timeouts.empty());

    bus.send_error.reset();
    bus.queue_error(TransportError::backend(100));
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    const Result<MotorState> not_received = Damiao(0x01, 0x11).disable(bus);
    ASSERT_FALSE(not_received.has_value());
    const auto* failure = std::get_if<Error::Transport>(&not_received.error().detail());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->error, TransportError::backend(100));
    EXPECT_EQ(bus.read_timeouts.size(), 1U);
}

TEST(DamiaoFailures, InvalidLimitsSendNothing) {
    const Damiao motor(0x01, 0x11, MitLimits{12.5F, 30.0F, 500.0F, -0.5F, 10.0F});
    ScriptedTransport bus;
    const Result<MotorState> direct = motor.mit_control(bus, MitSetpoint{});
    const Result<MotorState> as_mode = motor.control(bus, MitSetpoint{});
    ASSERT_FALSE(direct.has_value());
    ASSERT_FALSE(as_mode.has_value());
    EXPECT_EQ(direct.error().message(),
              "invalid MIT limit: kd_max is -0.5, must be >= 0 and not NaN");
    EXPECT_EQ(as_mode.error().message(), direct.error().message());
    EXPECT_TRUE(bus.sent.empty());
    EXPECT_TRUE(bus.read_timeouts.empty());

    // The other modes do not pack with the limits and still go out.
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    EXPECT_TRUE(motor.control(bus, VelSetpoint{1.0F}).has_value());
    EXPECT_EQ(bus.sent.size(), 1U);
}

TEST(DamiaoFailures, ShortFeedbackIsReportedAndTheBusStaysUsable) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x11, 0x7F, 0xFF}));
    bus.queue(frame_at(CanId::standard(0x011), kFeedback));
    const Damiao motor(0x01, 0x11);

    const Result<MotorState> short_reply = motor.enable(bus);
    ASSERT_FALSE(short_reply.has_value());
    EXPECT_EQ(short_reply.error().message(),
              "malformed feedback: expected 8 data bytes, got 3: [17, 127, 255]");

    const Result<MotorState> next = motor.enable(bus);
    ASSERT_TRUE(next.has_value()) << next.error().message();
    EXPECT_EQ(next->t_rotor, 28);
}

}  // namespace
}  // namespace axiolink::damiao
