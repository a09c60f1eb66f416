#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <bit>
#include <cmath>
#include <limits>

#include "core/scripted_transport.hpp"
#include "damiao/driver.hpp"
#include "damiao/register_names.hpp"

namespace axiolink::damiao {
namespace {

using testing::ScriptedTransport;
using testing::to_nanos;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::Payload;
using transport::TransportError;

constexpr std::uint64_t kMs = 1'000'000;

// Register requests always go out as classic frames at Standard 0x7FF;
// this gives their 8 data bytes as hex, e.g. "0100330A00000000".
std::vector<std::string> sent_requests(const ScriptedTransport& bus) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::vector<std::string> texts;
    for (const CanFrame& frame : bus.sent) {
        EXPECT_EQ(frame.id, CanId::standard(0x7FF));
        EXPECT_FALSE(frame.fd || frame.brs);
        std::string text;
        for (const std::uint8_t byte : frame.data.bytes()) {
            text += kHex[byte >> 4];
            text += kHex[byte & 0xFU];
        }
        texts.push_back(text);
    }
    return texts;
}

CanFrame frame_at(CanId id, Payload data) {
    return CanFrame{id, data, false, false};
}

// Fakes the settling pause by moving the transport's clock.
class ClockSleeper final : public Sleeper {
public:
    explicit ClockSleeper(ScriptedTransport& bus) : bus_(bus) {}
    void sleep_for(Duration duration) override {
        requested.push_back(duration);
        bus_.clock_ns += to_nanos(duration);
    }
    std::vector<Duration> requested;

private:
    ScriptedTransport& bus_;
};

TEST(RegisterRead, SendsTheRequestAndTakesTheValueLittleEndian) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0A, 0x02, 0, 0, 0}));
    bus.queue(
        frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0A, 0x78, 0x56, 0x34, 0x12}));
    const Damiao motor(0x01, 0x11);

    const Result<RegisterValue> mode = motor.read_register(bus, 10);
    const Result<RegisterValue> wide = motor.read_register(bus, 10);

    ASSERT_TRUE(mode.has_value()) << mode.error().message();
    ASSERT_TRUE(wide.has_value()) << wide.error().message();
    EXPECT_EQ(*mode, (RegisterValue{RegisterType::Uint32, 2}));
    EXPECT_EQ(*wide, (RegisterValue{RegisterType::Uint32, 0x12345678}));
    EXPECT_EQ(sent_requests(bus),
              (std::vector<std::string>{"0100330A00000000", "0100330A00000000"}));
}

TEST(RegisterRead, MotorIdTravelsAsSixteenBitsAndTypeComesFromTheTable) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x7FF), Payload{0x02, 0x09, 0x33, 0x15, 0, 0, 0x48, 0x41}));
    const Result<RegisterValue> p_max = Damiao(0x0902, 0x11).read_register(bus, 21);
    ASSERT_TRUE(p_max.has_value()) << p_max.error().message();
    EXPECT_EQ(*p_max, (RegisterValue{RegisterType::Float, 0x41480000}));
    EXPECT_EQ(sent_requests(bus), std::vector<std::string>{"0209331500000000"});
}

TEST(RegisterRead, RepliesMatchByDataAtAnyIdFromAnyMotor) {
    const CanId ids[] = {CanId::standard(0x011), CanId::standard(0x000), CanId::standard(0x7FF),
                         CanId::extended(0x1ABCDEF)};
    for (const CanId id : ids) {
        ScriptedTransport bus;
        bus.queue(frame_at(id, Payload{0x05, 0x00, 0x33, 0x0A, 0x03, 0, 0, 0}));
        const Result<RegisterValue> value = Damiao(0x01, 0x11).read_register(bus, 10);
        ASSERT_TRUE(value.has_value()) << id.value << ": " << value.error().message();
        EXPECT_EQ(value->payload, 3U);
    }
}

TEST(RegisterRead, NonMatchingFramesAreSkippedWithTheTimeLeft) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0A, 0x09, 0, 0}),
              2 * kMs);
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x55, 0x0A, 0x09, 0, 0, 0}),
              3 * kMs);
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0B, 0x09, 0, 0, 0}),
              4 * kMs);
    bus.queue(CanFrame{CanId::standard(0x011),
                       Payload{0x01, 0x00, 0x33, 0x0A, 0x09, 0, 0, 0, 0, 0, 0, 0}, true, false},
              1 * kMs);
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0A, 0x04, 0, 0, 0}),
              1 * kMs);

    const Result<RegisterValue> value = Damiao(0x01, 0x11).read_register(bus, 10);

    ASSERT_TRUE(value.has_value()) << value.error().message();
    EXPECT_EQ(value->payload, 4U);
    std::vector<std::uint64_t> waits;
    for (const Duration d : bus.read_timeouts) {
        waits.push_back(to_nanos(d));
    }
    EXPECT_EQ(waits,
              (std::vector<std::uint64_t>{20 * kMs, 18 * kMs, 15 * kMs, 11 * kMs, 10 * kMs}));
}

TEST(RegisterRead, NoReplyTimesOutAfterTheDriversTimeout) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x55, 0x0A, 0, 0, 0, 0}),
              30 * kMs);
    const Damiao motor(0x01, 0x11, MitLimits{}, Duration::from_millis(25));

    const Result<RegisterValue> value = motor.read_register(bus, 10);

    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error().message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.clock_ns - bus.send_times.at(0), 25 * kMs);
    // A late frame is left for later reads.
    EXPECT_EQ(bus.reads.size(), 1U);
}

TEST(RegisterRead, TransportFailuresEndTheReadAtOnce) {
    ScriptedTransport bus;
    bus.send_error = TransportError::backend(100);
    const Result<RegisterValue> unsent = Damiao(0x01, 0x11).read_register(bus, 10);
    ASSERT_FALSE(unsent.has_value());
    EXPECT_EQ(unsent.error().message(),
              "transport error: backend error: Network is down (os error 100)");
    EXPECT_TRUE(bus.read_timeouts.empty());

    bus.send_error.reset();
    bus.queue_error(TransportError::backend(19), 1 * kMs);
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0A, 0x01, 0, 0, 0}));
    const Result<RegisterValue> unreceived = Damiao(0x01, 0x11).read_register(bus, 10);
    ASSERT_FALSE(unreceived.has_value());
    EXPECT_EQ(unreceived.error().message(),
              "transport error: backend error: No such device (os error 19)");
    EXPECT_EQ(bus.read_timeouts.size(), 1U);
}

TEST(RegisterWrite, SendsOnceAndDoesNotWait) {
    ScriptedTransport bus;
    const Damiao motor(0x0102, 0x11);
    ASSERT_TRUE(motor.write_register(bus, 10, {RegisterType::Uint32, 1}).has_value());
    ASSERT_TRUE(motor.write_register(bus, 9, {RegisterType::Uint32, 0x12345678}).has_value());
    EXPECT_EQ(sent_requests(bus),
              (std::vector<std::string>{"0201550A01000000", "0201550978563412"}));
    EXPECT_TRUE(bus.read_timeouts.empty());
}

TEST(RegisterAccess, UnlistedAndReadOnlyRegistersAreRefusedBeforeSending) {
    ScriptedTransport bus;
    const Damiao motor(0x01, 0x11);

    const Result<RegisterValue> unknown_read = motor.read_register(bus, 200);
    const Result<void> unknown_write = motor.write_register(bus, 200, {RegisterType::Uint32, 1});
    const Result<void> read_only_write = motor.write_register(bus, 13, {RegisterType::Uint32, 1});

    ASSERT_FALSE(unknown_read.has_value());
    ASSERT_FALSE(unknown_write.has_value());
    ASSERT_FALSE(read_only_write.has_value());
    EXPECT_EQ(unknown_read.error().message(), "register 200 is not in the Damiao register table");
    EXPECT_EQ(unknown_write.error().message(), "register 200 is not in the Damiao register table");
    EXPECT_EQ(read_only_write.error().message(), "register 13 is read-only");
    EXPECT_TRUE(bus.sent.empty());
    EXPECT_TRUE(bus.read_timeouts.empty());

    // Read-only registers can still be read.
    bus.queue(frame_at(CanId::standard(0x011), Payload{0x01, 0x00, 0x33, 0x0D, 0x07, 0, 0, 0}));
    const Result<RegisterValue> version = motor.read_register(bus, 13);
    ASSERT_TRUE(version.has_value()) << version.error().message();
    EXPECT_EQ(version->payload, 7U);
}

CanFrame mode_reply(std::uint32_t mode) {
    return frame_at(CanId::standard(0x011),
                    Payload{0x01, 0x00, 0x33, 0x0A, static_cast<std::uint8_t>(mode),
                            static_cast<std::uint8_t>(mode >> 8), 0, 0});
}

TEST(EnsureControlMode, AlreadyInModeOnlyReads) {
    ScriptedTransport bus;
    ClockSleeper sleeper(bus);
    bus.queue(mode_reply(1));

    const Result<void> done = Damiao(0x01, 0x11).ensure_control_mode(bus, 1, sleeper);

    ASSERT_TRUE(done.has_value()) << done.error().message();
    EXPECT_EQ(sent_requests(bus), std::vector<std::string>{"0100330A00000000"});
    EXPECT_TRUE(sleeper.requested.empty());
}

TEST(EnsureControlMode, WritesPausesAndReadsBack) {
    ScriptedTransport bus;
    ClockSleeper sleeper(bus);
    bus.queue(mode_reply(2));
    bus.queue(mode_reply(1));

    const Result<void> done = Damiao(0x01, 0x11).ensure_control_mode(bus, 1, sleeper);

    ASSERT_TRUE(done.has_value()) << done.error().message();
    EXPECT_EQ(sent_requests(bus), (std::vector<std::string>{"0100330A00000000", "0100550A01000000",
                                                            "0100330A00000000"}));
    ASSERT_EQ(sleeper.requested.size(), 1U);
    EXPECT_EQ(to_nanos(sleeper.requested[0]), 100 * kMs);
    EXPECT_GE(bus.send_times.at(2) - bus.send_times.at(1), 100 * kMs);
}

TEST(EnsureControlMode, ReadBackMismatchReportsTheLowByte) {
    const struct {
        std::uint32_t read_back;
        const char* text;
    } cases[] = {
        {2, "control mode verification failed: wrote 1, motor reports 2"},
        {257, "control mode verification failed: wrote 1, motor reports 1"},
    };
    for (const auto& c : cases) {
        ScriptedTransport bus;
        ClockSleeper sleeper(bus);
        bus.queue(mode_reply(2));
        bus.queue(mode_reply(c.read_back));

        const Result<void> done = Damiao(0x01, 0x11).ensure_control_mode(bus, 1, sleeper);

        ASSERT_FALSE(done.has_value()) << c.text;
        EXPECT_EQ(done.error().message(), c.text);
        EXPECT_EQ(bus.sent.size(), 3U) << "the write is neither undone nor repeated";
    }
}

TEST(EnsureControlMode, SilentMotorFailsWithoutWriting) {
    ScriptedTransport bus;
    ClockSleeper sleeper(bus);

    const Result<void> done = Damiao(0x01, 0x11).ensure_control_mode(bus, 1, sleeper);

    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(sent_requests(bus), std::vector<std::string>{"0100330A00000000"});
    EXPECT_TRUE(sleeper.requested.empty());
}

TEST(EnsureControlMode, ReadBackTimeoutIsReturnedAfterTheWrite) {
    ScriptedTransport bus;
    ClockSleeper sleeper(bus);
    bus.queue(mode_reply(3));

    const Result<void> done = Damiao(0x01, 0x11).ensure_control_mode(bus, 1, sleeper);

    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().message(), "transport error: timeout waiting for frame");
    EXPECT_EQ(bus.sent.size(), 3U);
}

TEST(EnsureControlMode, DefaultPauseSleepsOnTheCallingThread) {
    ScriptedTransport bus;
    bus.queue(mode_reply(4));
    bus.queue(mode_reply(2));

    const auto start = std::chrono::steady_clock::now();
    const Result<void> done = Damiao(0x01, 0x11).ensure_control_mode(bus, 2);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_TRUE(done.has_value()) << done.error().message();
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

TEST(RegisterValueRules, RefuseWhatAMotorCannotTakeOrWouldTakeForSomethingElse) {
    const auto bits = [](float value) { return std::bit_cast<std::uint32_t>(value); };
    const std::string cannot_take = "the motor cannot take it";
    const std::string own_answers = "the motor would take its own answers for commands";
    const std::string requests = "register requests go to 0x7FF, so every motor would read the ";
    const std::string coarse =
        "no model's range is more than half that, and MIT values scaled to a wider range lose "
        "their precision";
    const std::string modes = "one of mit, pos_vel, vel, force_pos (or 1 to 4)";
    const std::string own_ids = "a master id other than the motor's command ids ";
    const std::string ids_of = "a motor id whose command ids ";
    struct Case {
        MotorIds motor;
        std::uint8_t number;
        std::uint32_t payload;
        std::string must_be;  // empty: the value may be written
        std::string reason;
    };
    const Case cases[] = {
        // Ids beyond 11 bits, and the register request id.
        {{2, 0x12}, 7, 0x800, "an id from 0 to 0x7FF", cannot_take},
        {{2, 0x12}, 8, 0x1000, "an id from 0 to 0x7FF", cannot_take},
        {{2, 0x12},
         7,
         0x7FF,
         "a master id other than 0x7FF",
         requests + "motor's answers as requests"},
        {{2, 0x12},
         8,
         0x4FF,
         ids_of + "(0x4FF, 0x5FF, 0x6FF, 0x7FF) leave out 0x7FF",
         requests + "motor's commands as requests"},
        {{2, 0x12},
         8,
         0x6FF,
         ids_of + "(0x6FF, 0x7FF, 0x0FF, 0x1FF) leave out 0x7FF",
         requests + "motor's commands as requests"},
        {{2, 0x12}, 8, 0x3FF, "", ""},
        {{2, 0x12}, 7, 0x7FE, "", ""},
        // A master id at one of the motor's own command ids, in 11 bits.
        {{2, 0x12}, 7, 0x002, own_ids + "0x002, 0x102, 0x202, 0x302", own_answers},
        {{2, 0x12}, 7, 0x302, own_ids + "0x002, 0x102, 0x202, 0x302", own_answers},
        {{0x502, 0x12}, 7, 0x002, own_ids + "0x502, 0x602, 0x702, 0x002", own_answers},
        {{0x802, 0x12}, 7, 0x102, own_ids + "0x002, 0x102, 0x202, 0x302", own_answers},
        {{2, 0x12}, 7, 0x001, "", ""},  // another motor's id: only the bus can tell
        {{2, 0x12}, 7, 0x000, "", ""},
        {{2, 0x12}, 7, 0x402, "", ""},
        // A motor id of 0, or one commanded at the motor's own master id.
        {{2, 0x12},
         8,
         0,
         "a motor id from 1 to 0x7FF",
         "at id 0 the motor would take the answers of every motor with master id 0 for "
         "commands"},
        {{2, 0x12},
         8,
         0x12,
         ids_of + "(0x012, 0x112, 0x212, 0x312) leave out its master id 0x012",
         own_answers},
        {{2, 0x312},
         8,
         0x12,
         ids_of + "(0x012, 0x112, 0x212, 0x312) leave out its master id 0x312",
         own_answers},
        {{2, 0x812},
         8,
         0x712,
         ids_of + "(0x712, 0x012, 0x112, 0x212) leave out its master id 0x012",
         own_answers},
        {{2, 0x12}, 8, 0x412, "", ""},
        {{2, std::nullopt}, 8, 0x12, "", ""},  // the master id unknown: that check waits for it
        {{2, 0x12}, 8, 1, "", ""},
        // Modes.
        {{1, 0x11}, 10, 0, modes, cannot_take},
        {{1, 0x11}, 10, 1, "", ""},
        {{1, 0x11}, 10, 4, "", ""},
        {{1, 0x11}, 10, 7, modes, cannot_take},
        // Ranges: positive, and up to twice the widest model's.
        {{1, 0x11}, 21, bits(12.5F), "", ""},
        {{1, 0x11}, 21, bits(30.0F), "", ""},
        {{1, 0x11}, 21, bits(std::nextafter(30.0F, 31.0F)), "a number up to 30", coarse},
        {{1, 0x11}, 21, bits(0.0F), "a positive number", cannot_take},
        {{1, 0x11}, 22, bits(600.0F), "", ""},
        {{1, 0x11}, 22, bits(601.0F), "a number up to 600", coarse},
        {{1, 0x11}, 22, bits(-5.0F), "a positive number", cannot_take},
        {{1, 0x11}, 23, bits(400.0F), "", ""},
        {{1, 0x11}, 23, bits(1e30F), "a number up to 400", coarse},
        {{1, 0x11}, 23, bits(-0.0F), "a positive number", cannot_take},
        {{1, 0x11},
         23,
         bits(std::numeric_limits<float>::quiet_NaN()),
         "a positive number",
         cannot_take},
        {{1, 0x11}, 23, bits(1e-3F), "", ""},
        {{1, 0x11}, 9, 0xFFFFFFFF, "", ""},
    };
    for (const Case& c : cases) {
        const RegisterValue value{find_register(c.number)->type, c.payload};
        const auto refusal = value_refusal(c.motor, c.number, value);
        const auto where = [&] {
            return std::to_string(c.number) + " " + std::to_string(c.payload) + " for motor " +
                   std::to_string(c.motor.motor_id);
        };
        ASSERT_EQ(refusal.has_value(), !c.must_be.empty()) << where();
        if (refusal) {
            EXPECT_EQ(refusal->must_be, c.must_be) << where();
            EXPECT_EQ(refusal->reason, c.reason) << where();
        }
    }
    EXPECT_EQ((ValueRefusal{"a positive number", cannot_take}.text("'-5'", 23)),
              "value '-5' is not a positive number for register 23; the motor cannot take it");
}

TEST(RegisterValueRules, RangeBoundsLeaveEveryPresetRoomTwice) {
    for (const auto& [name, limits] : kMitLimitsPresets) {
        EXPECT_LE(2.0F * limits.p_max, kPMaxBound) << name;
        EXPECT_LE(2.0F * limits.v_max, kVMaxBound) << name;
        EXPECT_LE(2.0F * limits.t_max, kTMaxBound) << name;
    }
}

}  // namespace
}  // namespace axiolink::damiao
