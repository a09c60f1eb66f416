#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/scripted_transport.hpp"
#include "damiao/driver.hpp"

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

}  // namespace
}  // namespace axiolink::damiao
