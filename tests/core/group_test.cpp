#include "damiao/group.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
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
    std::vector<transport::MonotonicTime> received;
    std::vector<std::uint32_t> late;
};

Cycle run(const MotorGroup& group, ScriptedBuses& buses, std::vector<ControlSetpoint> commands,
          SignalPolicy* signals = nullptr) {
    const std::size_t count = group.members().size();
    Cycle cycle{std::vector<Result<MotorState>>(count, MotorState{}),
                std::vector<transport::MonotonicTime>(count), std::vector<std::uint32_t>(count)};
    group.cycle(buses, commands, cycle.results, {cycle.received, cycle.late}, signals);
    return cycle;
}

// A caller's answers to the cycle's questions about signals, in order, and
// what it was asked.
struct ScriptedSignals final : SignalPolicy {
    std::vector<bool> pending;  // answers to signal_pending, in turn; false after
    bool go_on = true;          // the answer to resume
    std::function<void()> while_resumed;  // what the caller's turn does (takes time)
    std::vector<std::string> asked;
    bool signal_pending(bool interrupted) noexcept override {
        asked.emplace_back(interrupted ? "interrupted" : "between");
        const bool answer = asked.size() <= pending.size() && pending[asked.size() - 1];
        return answer;
    }
    bool resume() noexcept override {
        asked.emplace_back("resume");
        if (while_resumed) {
            while_resumed();
        }
        return go_on;
    }
};

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
    EXPECT_EQ(cycle.late, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(cycle.received[0].nanos, 1'000'000'000 + 100 * kUs);
    EXPECT_EQ(cycle.received[1].nanos, 0U);
}

TEST(MotorGroupCycle, TakingOffWhatWaitsIsBoundedByCount) {
    ScriptedBuses buses(1, answering({100}));
    for (int i = 0; i < 1000; ++i) {
        buses.leave_waiting(0, feedback(0x55, 5));
    }
    const MotorGroup group = make_group({member(1, 0x11)});
    const Cycle cycle = run(group, buses, mit_commands(1));
    EXPECT_EQ(buses.drained, MotorGroup::kDrainLimit);
    EXPECT_EQ(outcome(cycle.results[0]), "motor 1 at 12");
}

TEST(MotorGroupCycle, ASilentMotorHidesNoOtherStateAndTheCycleEndsAtTheDeadline) {
    ScriptedBuses buses(1, answering({-1, 150, 80}));
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12), member(3, 0x13)});
    const Cycle cycle = run(group, buses, mit_commands(3));
    EXPECT_EQ(outcomes(cycle),
              (std::vector<std::string>{"transport error: timeout waiting for frame",
                                        "motor 2 at 12", "motor 3 at 12"}));
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 5 * kMs);
    // A deadline seconds away is kept to the nanosecond.
    ScriptedBuses slow(1, answering({-1}));
    const auto patient = MotorGroup::make({{member(1, 0x11)}}, Duration{1, 500'000'000});
    ASSERT_TRUE(patient.has_value());
    EXPECT_FALSE(run(*patient, slow, mit_commands(1)).results[0].has_value());
    EXPECT_EQ(slow.clock_ns, 2'500'000'000U);
}

TEST(MotorGroupCycle, OnlyTheFirstReplyOfAMotorCountsAndStrangersAreDropped) {
    // Motor 2 is silent; motor 1 answers twice, which must not count for it.
    ScriptedBuses buses(1, answering({100, -1}));
    buses.arrive(0, feedback(0x55, 5), 50 * kUs);                            // nobody's master id
    buses.arrive(0, CanFrame{CanId::extended(0x11), Payload{1}}, 60 * kUs);  // wrong kind
    buses.arrive(0, feedback(0x11, 9), 200 * kUs);                           // a second answer
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12)});
    const Cycle cycle = run(group, buses, mit_commands(2));
    EXPECT_EQ(outcomes(cycle), (std::vector<std::string>{
                                   "motor 1 at 12", "transport error: timeout waiting for frame"}));
    EXPECT_EQ(cycle.late, (std::vector<std::uint32_t>{1, 0}));
}

TEST(MotorGroupCycle, MasterIdsMatchInTheirLow11Bits) {
    ScriptedBuses buses(1, answering({100}));
    const MotorGroup group = make_group({member(1, 0x811)});
    EXPECT_EQ(outcome(run(group, buses, mit_commands(1)).results[0]), "motor 1 at 12");
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

TEST(MotorGroupCycle, AFailedReadBeforeSendingFailsThatBusesMotorsAlone) {
    ScriptedBuses buses(2, answering({100, 100, 100}));
    buses.drain_error = TransportError::backend(ENETDOWN);
    const MotorGroup group = make_group({member(1, 0x11, 0), member(2, 0x12, 0), member(3, 0x13, 1)});
    const Cycle cycle = run(group, buses, mit_commands(3));
    const std::string down = "transport error: " + TransportError::backend(ENETDOWN).message();
    EXPECT_EQ(outcomes(cycle), (std::vector<std::string>{down, down, "motor 3 at 12"}));
    EXPECT_EQ(buses.sent.size(), 1U);
}

TEST(MotorGroupCycle, TwoMotorsAtOneMasterIdOnTwoBusesKeepTheirOwnAnswers) {
    // Two identical arms: motor 1 on each bus answers at 0x11; bus 1's answer
    // comes first.
    ScriptedBuses buses(2, [](ScriptedBuses& b, std::size_t bus, const CanFrame&) {
        b.arrive(bus, feedback(0x11, static_cast<std::uint8_t>(bus + 1)), bus == 1 ? 100 : 200);
    });
    const MotorGroup group = make_group({member(1, 0x11, 0), member(1, 0x11, 1)});
    const Cycle cycle = run(group, buses, mit_commands(2));
    ASSERT_TRUE(cycle.results[0].has_value() && cycle.results[1].has_value());
    EXPECT_EQ(cycle.results[0]->motor_id, 1);
    EXPECT_EQ(cycle.results[1]->motor_id, 2);
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

TEST(MotorGroupSignals, WhatASignalDoesToTheWaitIsTheCallersToSay) {
    const std::string interrupted = "transport error: " + TransportError::backend(EINTR).message();
    const struct {
        const char* name;
        std::vector<bool> pending;  // the caller's answers to "is a signal for me?"
        bool go_on;                 // and to "go on?"
        std::vector<std::string> outcomes;
        std::vector<std::string> asked;
    } cases[] = {
        // A thread that runs no handlers: the wait goes on, the answer comes.
        {"not for this thread", {false}, true, {"motor 1 at 12", "motor 2 at 12"},
         {"interrupted"}},
        // Handlers ran and returned: the wait goes on.
        {"handled", {true}, true, {"motor 1 at 12", "motor 2 at 12"}, {"interrupted", "resume"}},
        // A handler raised: the cycle ends for the motors still waiting.
        {"raised", {true}, false, {"motor 1 at 12", interrupted}, {"interrupted", "resume"}},
    };
    for (const auto& c : cases) {
        ScriptedBuses buses(1, answering({100, 300}));
        const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12)});
        ScriptedSignals signals;
        signals.pending = {false};
        signals.pending.insert(signals.pending.end(), c.pending.begin(), c.pending.end());
        signals.go_on = c.go_on;
        // A stranger's frame and the first answer come, then a signal
        // interrupts the wait.
        buses.arrive(0, feedback(0x55, 5), 50 * kUs);
        buses.wait_error_after = 2;
        buses.wait_error = TransportError::backend(EINTR);
        const Cycle cycle = run(group, buses, mit_commands(2), &signals);
        EXPECT_EQ(outcomes(cycle), c.outcomes) << c.name;
        // The stranger's frame brought no answer: the caller was asked then too.
        std::vector<std::string> asked{"between"};
        asked.insert(asked.end(), c.asked.begin(), c.asked.end());
        EXPECT_EQ(signals.asked, asked) << c.name;
    }
}

TEST(MotorGroupSignals, AFloodOfOtherFramesStillLetsTheCallerEndTheCycle) {
    // Nobody answers; foreign frames arrive every 10 us, so no wait is ever
    // interrupted: the caller learns of the signal between waits.
    ScriptedBuses buses(1);
    for (std::uint64_t t = 10; t < 5000; t += 10) {
        buses.arrive(0, feedback(0x55, 5), t * kUs);
    }
    const MotorGroup group = make_group({member(1, 0x11)});
    ScriptedSignals signals;
    signals.pending = {false, false, true};
    signals.go_on = false;
    const Cycle cycle = run(group, buses, mit_commands(1), &signals);
    EXPECT_EQ(outcome(cycle.results[0]),
              "transport error: " + TransportError::backend(EINTR).message());
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 30 * kUs);
}

TEST(MotorGroupSignals, TheCallersTurnCountsAgainstTheDeadline) {
    // Nobody answers; the caller's turn after a stranger's frame takes
    // 3 ms. The cycle still ends at its 5 ms deadline.
    ScriptedBuses buses(1);
    buses.arrive(0, feedback(0x55, 5), 10 * kUs);
    const MotorGroup group = make_group({member(1, 0x11)});
    ScriptedSignals signals;
    signals.pending = {true};
    signals.while_resumed = [&buses] { buses.clock_ns += 3 * kMs; };
    const Cycle cycle = run(group, buses, mit_commands(1), &signals);
    EXPECT_EQ(outcome(cycle.results[0]), "transport error: timeout waiting for frame");
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 5 * kMs);
}

TEST(MotorGroupSendQueue, AFullQueueIsTheSendErrorOfTheFramesThatNeverLeft) {
    ScriptedBuses buses(1, answering({100, 100, 100}));
    buses.send_room = 1;
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12), member(3, 0x13)});
    const Cycle cycle = run(group, buses, mit_commands(3));
    const std::string full = "transport error: " + TransportError::backend(ENOBUFS).message();
    EXPECT_EQ(outcomes(cycle), (std::vector<std::string>{"motor 1 at 12", full, full}));
}

TEST(MotorGroupSendQueue, ASignalWhileWaitingForRoomIsTheCallersToo) {
    for (const bool go_on : {true, false}) {
        ScriptedBuses buses(1, answering({100, 100}));
        buses.send_room = 1;
        buses.send_error = TransportError::backend(EINTR);
        const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12)});
        ScriptedSignals signals;
        signals.pending = {true};
        signals.go_on = go_on;
        const Cycle cycle = run(group, buses, mit_commands(2), &signals);
        const std::string interrupted =
            "transport error: " + TransportError::backend(EINTR).message();
        EXPECT_EQ(outcomes(cycle), go_on ? (std::vector<std::string>{"motor 1 at 12", "motor 2 at 12"})
                                         : (std::vector<std::string>{interrupted, interrupted}))
            << go_on;
        EXPECT_EQ(buses.sent.size(), go_on ? 2U : 1U);
    }
}

// Motors that answer each special command after 100 us with the status it
// gives them; `stale[motor id - 1]` answers first comes with the opposite.
ScriptedBuses::Responder obeying(std::vector<int> stale) {
    return [stale](ScriptedBuses& buses, std::size_t bus, const CanFrame& sent) mutable {
        const auto motor = static_cast<std::uint16_t>(sent.id.value & 0xFFU);
        const std::uint8_t code = sent.data[7];
        std::uint8_t status = code == kEnableCode ? 1 : 0;
        int& late = stale.at(motor - 1U);
        if (late > 0) {
            --late;
            status = status == 1 ? 0 : 1;
        }
        if (late >= 0) {
            CanFrame answer = feedback(motor + 0x10, static_cast<std::uint8_t>(motor));
            answer.data = Payload{static_cast<std::uint8_t>(status << 4 | motor), 0xFF, 0xFF,
                                  0x80, 0x08, 0x00, 40, 41};
            buses.arrive(bus, answer, 100 * kUs);
        }
    };
}

TEST(MotorGroupCommand, AnAnswerCountsOnlyWhenItsStatusConfirmsTheCommand) {
    // Motor 1 obeys; motor 2's first answer is a stale "enabled" (then it
    // obeys); motor 3 keeps saying "enabled"; motor 4 is silent.
    ScriptedBuses buses(1, obeying({0, 1, 9, -1}));
    const MotorGroup group =
        make_group({member(1, 0x11), member(2, 0x12), member(3, 0x13), member(4, 0x14)});
    std::vector<Result<MotorState>> results(4, MotorState{});
    std::vector<std::uint32_t> late(4);
    group.command(buses, GroupCommand::Disable, results, {{}, late});
    EXPECT_EQ(outcome(results[0]), "motor 1 at 12");
    EXPECT_EQ(outcome(results[1]), "motor 2 at 12");
    EXPECT_EQ(results[1]->error, 0);
    EXPECT_EQ(outcome(results[2]),
              "disable not confirmed: the motor's last answer reports status 1 (enabled)");
    EXPECT_EQ(outcome(results[3]), "transport error: timeout waiting for frame");
    // Three sends at most to a motor that does not confirm; the silent one
    // gets a second one halfway.
    std::vector<int> sends(4);
    for (const auto& frame : buses.sent) {
        ++sends.at((frame.frame.id.value & 0xFFU) - 1U);
    }
    EXPECT_EQ(sends, (std::vector<int>{1, 2, 3, 2}));
    EXPECT_EQ(late, (std::vector<std::uint32_t>{0, 1, 3, 0}));
    for (const auto& frame : buses.sent) {
        EXPECT_EQ(frame.frame.data, Payload(special_command_bytes(kDisableCode)));
    }
}

TEST(MotorGroupCommand, ASilentMotorGetsItAgainHalfwayToTheDeadline) {
    // Long time-outs, so that halfway lies beyond a whole second, and a
    // nanosecond short of one.
    for (const Duration timeout : {Duration::from_millis(3000), Duration{1, 999'999'998}}) {
        const std::uint64_t span = timeout.seconds * 1'000'000'000 + timeout.nanos;
        ScriptedBuses buses(1, obeying({-1}));
        std::vector<GroupMember> members{member(1, 0x11)};
        const MotorGroup group = *MotorGroup::make(members, timeout);
        std::vector<Result<MotorState>> results(1, MotorState{});
        group.command(buses, GroupCommand::Disable, results);
        ASSERT_EQ(buses.sent.size(), 2U) << span;
        EXPECT_EQ(buses.sent_at[1], 1'000'000'000 + span / 2) << span;
        EXPECT_EQ(buses.clock_ns, 1'000'000'000 + span) << span;
    }
}

TEST(MotorGroupCommand, ASignalThatEndsItDuringTheHalfwayResendsEndsItThere) {
    // Both motors are silent. The first resend halfway is interrupted by a
    // signal whose handler ends the command: the other motor is sent nothing
    // more, and nothing more is awaited.
    ScriptedBuses buses(1, [](ScriptedBuses& b, std::size_t, const CanFrame&) {
        if (b.sent.size() == 2) {
            b.send_room = 0;
            b.send_error = TransportError::backend(EINTR);
        }
    });
    const MotorGroup group = make_group({member(1, 0x11), member(2, 0x12)});
    ScriptedSignals signals;
    signals.pending = {true};
    signals.go_on = false;
    std::vector<Result<MotorState>> results(2, MotorState{});
    group.command(buses, GroupCommand::Enable, results, {}, &signals);
    const std::string interrupted = "transport error: " + TransportError::backend(EINTR).message();
    EXPECT_EQ(outcome(results[0]), interrupted);
    EXPECT_EQ(outcome(results[1]), interrupted);
    EXPECT_EQ(buses.events,
              (std::vector<std::string>{"drain 0", "send 0 x2", "wait", "send 0 x1"}));
    EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 2500 * kUs);
}

TEST(MotorGroupCommand, AResendThatWaitedForRoomEndsTheCommandAtItsDeadline) {
    // The resend (to the motor silent halfway, or after its stale answer)
    // finds the send queue full and waits for room up to the deadline: the
    // command ends there, not half a time-out or more later.
    const struct {
        const char* name;
        bool stale;
        const char* outcome;
    } cases[] = {
        {"silent", false, "transport error: timeout waiting for frame"},
        {"stale", true,
         "enable not confirmed: the motor's last answer reports status 0 (disabled)"},
    };
    for (const auto& c : cases) {
        ScriptedBuses buses(1, [&c](ScriptedBuses& b, std::size_t bus, const CanFrame&) {
            if (b.sent.size() == 1 && c.stale) {
                b.arrive(bus, feedback(0x11, 0x01), 100 * kUs);
            } else if (b.sent.size() == 2) {
                b.clock_ns = 1'000'000'000 + 5 * kMs;  // the wait for room ends at the deadline
            }
        });
        const MotorGroup group = make_group({member(1, 0x11)});
        std::vector<Result<MotorState>> results(1, MotorState{});
        group.command(buses, GroupCommand::Enable, results);
        EXPECT_EQ(outcome(results[0]), c.outcome) << c.name;
        EXPECT_EQ(buses.sent.size(), 2U) << c.name;
        EXPECT_EQ(buses.clock_ns, 1'000'000'000 + 5 * kMs) << c.name;
    }
}

TEST(MotorGroupCommand, WhatEachCommandTakesAsConfirmation) {
    // Bit n set: status n confirms the command. 1 is enabled, 8 and above
    // are latched faults.
    const struct {
        GroupCommand command;
        std::uint16_t confirming;
    } cases[] = {
        {GroupCommand::Enable, 0x0002},
        {GroupCommand::Disable, 0xFFFD},
        {GroupCommand::ClearError, 0x00FF},
    };
    for (const auto& c : cases) {
        for (unsigned status = 0; status < 16; ++status) {
            EXPECT_EQ(confirms(c.command, static_cast<std::uint8_t>(status)),
                      ((c.confirming >> status) & 1U) != 0)
                << status;
        }
    }
}

TEST(MotorGroupMake, RefusesWhatCouldNotWork) {
    const struct {
        std::vector<GroupMember> members;
        const char* message;
    } cases[] = {
        {{}, "a motor group needs at least one motor"},
        {{member(1, 0x11), member(2, 0x12), member(3, 0x811)},
         "motors 0 and 2 of the group answer at the same master id 0x011 on one bus"},
        {{member(1, 0x11), member(2, 0x12), member(0x801, 0x13)},
         "motors 0 and 2 of the group have the same motor id 0x001 on one bus: each would obey "
         "both"},
        {{member(1, 0x11), member(2, 0x101)},
         "motor 1 of the group answers at 0x101, the POS_VEL command id of motor 0 on one bus: "
         "its answers would command that motor"},
        {{member(3, 0x11), member(2, 0x303)},
         "motor 1 of the group answers at 0x303, the FORCE_POS command id of motor 0 on one bus: "
         "its answers would command that motor"},
        {{member(1, 0x11), member(0x12, 0x212)},
         "motor 1 of the group answers at 0x212, its own VEL command id: its answers would "
         "command itself"},
        {{member(1, 0x7FF)},
         "motor 0 of the group answers at 0x7FF, the register-request id: its answers would "
         "reach every motor's registers"},
        {std::vector<GroupMember>(65, member(1, 0x11, 0)), "a motor group holds at most 64 motors"},
    };
    for (const auto& c : cases) {
        const auto group = MotorGroup::make(c.members, kTimeout);
        ASSERT_FALSE(group.has_value()) << c.message;
        EXPECT_EQ(group.error().message(), c.message);
    }
    // On different buses the same ids are different motors.
    EXPECT_TRUE(MotorGroup::make(std::vector{member(1, 0x11, 0), member(2, 0x11, 1)}, kTimeout));
    EXPECT_TRUE(MotorGroup::make(std::vector{member(1, 0x11, 0), member(1, 0x12, 1)}, kTimeout));
    EXPECT_TRUE(MotorGroup::make(std::vector{member(1, 0x11, 0), member(2, 0x101, 1)}, kTimeout));
}

}  // namespace
}  // namespace axiolink::damiao
