#include "damiao/group.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "core/scripted_buses.hpp"

namespace axiolink::damiao {
namespace {

using testing::ScriptedBuses;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::Payload;
using transport::TransportError;

constexpr std::uint64_t kUs = 1'000;
constexpr std::uint64_t kMs = 1'000'000;
constexpr Duration kTimeout = Duration::from_millis(5);

// A reply whose position field is all ones, which decodes to +p_max of the
// limits it is decoded with, and whose first byte names the motor.
CanFrame feedback(std::uint16_t master_id, std::uint8_t motor_nibble) {
    return CanFrame{CanId::standard(master_id),
                    Payload{motor_nibble, 0xFF, 0xFF, 0x80, 0x08, 0x00, 40, 41}};
}

GroupMember member(std::uint16_t motor_id, std::uint16_t master_id, std::size_t bus = 0,
                   float p_max = 12.5F) {
    MitLimits limits;
    limits.p_max = p_max;
    return {Damiao(motor_id, master_id, limits, kTimeout), bus};
}

MotorGroup make_group(std::vector<GroupMember> members) {
    auto group = MotorGroup::make(members, kTimeout);
    EXPECT_TRUE(group.has_value());
    return std::move(*group);
}

struct Cycle {
    std::vector<Result<MotorState>> results;
};

Cycle run(const MotorGroup& group, ScriptedBuses& buses, std::vector<ControlSetpoint> commands) {
    Cycle cycle{std::vector<Result<MotorState>>(group.members().size(), MotorState{})};
    group.cycle(buses, commands, cycle.results);
    return cycle;
}

std::vector<ControlSetpoint> mit_commands(std::size_t count) {
    return std::vector<ControlSetpoint>(count, MitSetpoint{});
}

// Motors that answer every command at master id = motor id + 0x10, after
// `delays_us[motor id - 1]`; a negative delay is a silent motor.
ScriptedBuses::Responder answering(std::vector<int> delays_us) {
    return [delays_us](ScriptedBuses& buses, std::size_t bus, const CanFrame& sent) {
        const auto motor = static_cast<std::uint16_t>(sent.id.value & 0xFFU);
        const int delay = delays_us.at(motor - 1U);
        if (delay >= 0) {
            buses.arrive(bus, feedback(motor + 0x10, static_cast<std::uint8_t>(motor)),
                         static_cast<std::uint64_t>(delay) * kUs);
        }
    };
}

std::string outcome(const Result<MotorState>& result) {
    if (!result) {
        return result.error().message();
    }
    return "motor " + std::to_string(result->motor_id) + " at " +
           std::to_string(static_cast<int>(result->position));
}

std::vector<std::string> outcomes(const Cycle& cycle) {
    std::vector<std::string> texts;
    for (const auto& result : cycle.results) {
        texts.push_back(outcome(result));
    }
    return texts;
}

TEST(MotorGroupCycle, SendsEverythingBeforeWaitingAndMatchesRepliesToTheirMotors) {
    // Replies come back in the reverse order of the commands.
    ScriptedBuses buses(1, answering({300, 200, 100}));
    const MotorGroup group = make_group(
        {member(1, 0x11, 0, 12.5F), member(2, 0x12, 0, 50.0F), member(3, 0x13, 0, 95.0F)});
    const Cycle cycle = run(group, buses, mit_commands(3));
    EXPECT_EQ(outcomes(cycle),
              (std::vector<std::string>{"motor 1 at 12", "motor 2 at 50", "motor 3 at 95"}));
    EXPECT_EQ(buses.events,
              (std::vector<std::string>{"drain 0", "send 0 x3", "wait", "wait", "wait"}));
    ASSERT_EQ(buses.sent.size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(buses.sent[i].frame.id, CanId::standard(static_cast<std::uint16_t>(i + 1)));
    }
    // The cycle ends with the last reply, not at the deadline.
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 300 * kUs);
}

TEST(MotorGroupCycle, AFrameWaitingBeforeTheCycleIsNeverTakenAsAReply) {
    // Motor 2 answered the previous cycle too late; this time it is silent.
    ScriptedBuses buses(1, answering({100, -1}));
    buses.leave_waiting(0, feedback(0x12, 2));
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12)});
    const Cycle cycle = run(group, buses, mit_commands(2));
    EXPECT_EQ(outcomes(cycle), (std::vector<std::string>{
                                   "motor 1 at 12", "transport error: timeout waiting for frame"}));
    EXPECT_EQ(buses.drained, 1U);
}

TEST(MotorGroupCycle, ASilentMotorHidesNoOtherStateAndTheCycleEndsAtTheDeadline) {
    ScriptedBuses buses(1, answering({-1, 150, 80}));
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12), member(3, 0x13)});
    const Cycle cycle = run(group, buses, mit_commands(3));
    EXPECT_EQ(outcomes(cycle),
              (std::vector<std::string>{"transport error: timeout waiting for frame",
                                        "motor 2 at 12", "motor 3 at 12"}));
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 5 * kMs);
}

TEST(MotorGroupCycle, OnlyTheFirstReplyOfAMotorCountsAndStrangersAreDropped) {
    ScriptedBuses buses(1, answering({100}));
    buses.arrive(0, feedback(0x55, 5), 50 * kUs);                            // nobody's master id
    buses.arrive(0, CanFrame{CanId::extended(0x11), Payload{1}}, 60 * kUs);  // wrong kind
    buses.arrive(0, feedback(0x11, 9), 200 * kUs);                           // a second answer
    const MotorGroup group = make_group({member(1, 0x11)});
    const Cycle cycle = run(group, buses, mit_commands(1));
    EXPECT_EQ(outcomes(cycle), (std::vector<std::string>{"motor 1 at 12"}));
}

TEST(MotorGroupCycle, EachMemberGetsTheFrameOfItsOwnMode) {
    ScriptedBuses buses(1, [](ScriptedBuses& b, std::size_t bus, const CanFrame& sent) {
        const auto motor = static_cast<std::uint16_t>(sent.id.value & 0xFFU);
        b.arrive(bus, feedback(motor + 0x10, static_cast<std::uint8_t>(motor)), 10 * kUs);
    });
    const MotorGroup group =
        make_group({member(1, 0x11), member(2, 0x12), member(3, 0x13), member(4, 0x14)});
    const std::vector<ControlSetpoint> commands{MitSetpoint{0.0F, 0.0F, 0.0F, 0.0F, 0.0F},
                                                PosVelSetpoint{1.0F, 2.0F}, VelSetpoint{-1.5F},
                                                ForcePosSetpoint{0.5F, 10.0F, 0.5F}};
    const Cycle cycle = run(group, buses, commands);
    ASSERT_EQ(buses.sent.size(), 4U);
    const std::array<std::uint16_t, 4> ids{0x001, 0x102, 0x203, 0x304};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(buses.sent[i].frame.id, CanId::standard(ids[i]));
        const auto expected = encode_mode_frame(group.members()[i].driver.limits(), commands[i]);
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(buses.sent[i].frame.data, Payload(*expected));
        EXPECT_TRUE(cycle.results[i].has_value());
    }
}

TEST(MotorGroupCycle, InvalidLimitsFailThatMemberAloneWithNothingSentForIt) {
    ScriptedBuses buses(1, answering({50, 50}));
    const MotorGroup group = make_group({member(1, 0x11, 0, -1.0F), member(2, 0x12)});
    const Cycle cycle = run(group, buses, mit_commands(2));
    EXPECT_EQ(outcomes(cycle),
              (std::vector<std::string>{"invalid MIT limit: p_max is -1, must be >= 0 and not NaN",
                                        "motor 2 at 12"}));
    EXPECT_EQ(buses.sent.size(), 1U);
}

TEST(MotorGroupCycle, EveryBusGetsItsCommandsBeforeOneWaitCoversBoth) {
    ScriptedBuses buses(2, answering({400, 100, 300, 200}));
    // The same master ids on two buses are two different motors.
    const MotorGroup group = make_group(
        {member(1, 0x11, 0), member(2, 0x12, 1), member(3, 0x13, 0), member(4, 0x14, 1)});
    const Cycle cycle = run(group, buses, mit_commands(4));
    EXPECT_EQ(outcomes(cycle), (std::vector<std::string>{"motor 1 at 12", "motor 2 at 12",
                                                         "motor 3 at 12", "motor 4 at 12"}));
    const std::vector<std::string> first_steps(buses.events.begin(), buses.events.begin() + 5);
    EXPECT_EQ(first_steps,
              (std::vector<std::string>{"drain 0", "send 0 x2", "drain 1", "send 1 x2", "wait"}));
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 400 * kUs);
}

TEST(MotorGroupCycle, AFailedWaitEndsTheCycleForTheMotorsStillWaiting) {
    ScriptedBuses buses(1, answering({100, 300}));
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12)});
    buses.wait_error = TransportError::backend(EINTR);
    Cycle cycle = run(group, buses, mit_commands(2));
    EXPECT_EQ(cycle.results[0].error().message(),
              "transport error: " + TransportError::backend(EINTR).message());
    EXPECT_EQ(cycle.results[1].error().message(), cycle.results[0].error().message());
}

TEST(MotorGroupMake, RefusesWhatCouldNotWork) {
    const struct {
        std::vector<GroupMember> members;
        const char* message;
    } cases[] = {
        {{}, "a motor group needs at least one motor"},
        {{member(1, 0x11), member(2, 0x12), member(3, 0x811)},
         "motors 0 and 2 of the group answer at the same master id 0x011 on one bus"},
        {std::vector<GroupMember>(65, member(1, 0x11, 0)), "a motor group holds at most 64 motors"},
    };
    for (const auto& c : cases) {
        const auto group = MotorGroup::make(c.members, kTimeout);
        ASSERT_FALSE(group.has_value()) << c.message;
        EXPECT_EQ(group.error().message(), c.message);
    }
    EXPECT_TRUE(MotorGroup::make(std::vector{member(1, 0x11, 0), member(2, 0x11, 1)}, kTimeout));
}

}  // namespace
}  // namespace axiolink::damiao
