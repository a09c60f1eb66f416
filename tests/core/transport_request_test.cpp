// Reply matching and deadline arithmetic of CanTransport::request, played
// against a scripted transport whose clock only moves when it is told to.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/frame_expectations.hpp"
#include "core/scripted_transport.hpp"
#include "transport/can.hpp"

namespace axiolink::transport {
namespace {

using testing::ScriptedTransport;
using testing::to_nanos;

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

const CanId kReplyId = CanId::standard(0x011);

CanFrame command_frame() {
    return {CanId::standard(0x001), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}};
}

CanFrame frame_at(CanId id, Payload data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}) {
    return {id, data};
}

std::vector<std::uint64_t> read_timeouts_ns(const ScriptedTransport& bus) {
    std::vector<std::uint64_t> out;
    for (Duration d : bus.read_timeouts) {
        out.push_back(to_nanos(d));
    }
    return out;
}

TEST(MonotonicTime, PlusAddsSecondsAndNanos) {
    EXPECT_EQ(MonotonicTime{5}.plus({2, 7}).nanos, 2'000'000'012u);
    EXPECT_EQ(MonotonicTime{0}.plus(Duration::from_millis(20)).nanos, 20 * kMs);
}

TEST(MonotonicTime, PlusSaturatesInsteadOfWrapping) {
    EXPECT_EQ(MonotonicTime{1}.plus({kU64Max, 999'999'999}).nanos, kU64Max);
    EXPECT_EQ(MonotonicTime{1}.plus(Duration::from_millis(kU64Max)).nanos, kU64Max);
    EXPECT_EQ(MonotonicTime{0}.plus({18'446'744'074, 0}).nanos, kU64Max);
    EXPECT_EQ(MonotonicTime{kU64Max - 10}.plus({0, 11}).nanos, kU64Max);
}

TEST(MonotonicTime, UntilSplitsWhatIsLeft) {
    const Duration left = MonotonicTime{1'000}.until(MonotonicTime{3'500'001'000});
    EXPECT_EQ(left.seconds, 3u);
    EXPECT_EQ(left.nanos, 500'000'000u);
}

TEST(MonotonicTime, UntilIsZeroAtOrPastTheDeadline) {
    EXPECT_EQ(MonotonicTime{7}.until(MonotonicTime{7}), Duration{});
    EXPECT_EQ(MonotonicTime{8}.until(MonotonicTime{7}), Duration{});
}

TEST(Request, FailedSendEndsWithItsErrorAndNoRead) {
    ScriptedTransport bus;
    bus.send_error = TransportError::frame_too_large(9);
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), TransportError::frame_too_large(9));
    EXPECT_TRUE(bus.read_timeouts.empty());
    EXPECT_EQ(bus.reads.size(), 1u);
}

TEST(Request, SendsTheFrameOnceAsGiven) {
    ScriptedTransport bus;
    bus.queue(frame_at(kReplyId));

    ASSERT_TRUE(bus.request(command_frame(), kReplyId, Duration::from_millis(20)).has_value());

    ASSERT_EQ(bus.sent.size(), 1u);
    expect_same_frame(bus.sent[0], command_frame());
}

TEST(Request, DeadlineStartsWhenTheSendHasReturned) {
    ScriptedTransport bus;
    bus.send_takes_ns = 15 * kMs;

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    EXPECT_EQ(reply.error(), TransportError::timeout());
    EXPECT_EQ(read_timeouts_ns(bus), std::vector<std::uint64_t>{20 * kMs});
}

TEST(Request, EveryReadGetsOnlyWhatIsLeft) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)), 3 * kMs);
    bus.queue(frame_at(CanId::standard(0x013)), 4 * kMs + 250);
    bus.queue(frame_at(kReplyId), 5 * kMs);

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(read_timeouts_ns(bus),
              (std::vector<std::uint64_t>{20 * kMs, 17 * kMs, 13 * kMs - 250}));
}

TEST(Request, DiscardsOtherIdentifiersAndTheExtendedTwin) {
    ScriptedTransport bus;
    const CanFrame reply_frame =
        frame_at(kReplyId, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8});
    bus.queue(frame_at(CanId::standard(0x001)));
    bus.queue(frame_at(CanId::extended(0x011)));
    bus.queue(frame_at(CanId::standard(0x111)));
    bus.queue(reply_frame);
    bus.queue(frame_at(CanId::standard(0x012)));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    ASSERT_TRUE(reply.has_value());
    expect_same_frame(*reply, reply_frame);
    EXPECT_EQ(bus.read_timeouts.size(), 4u);
    EXPECT_EQ(bus.reads.size(), 1u);  // nothing read past the match
}

TEST(Request, MatchesAnExtendedIdentifier) {
    ScriptedTransport bus;
    const CanId expected = CanId::extended(0x1ABCDE11);
    bus.queue(frame_at(CanId::standard(0x011)));
    bus.queue(frame_at(expected));

    const auto reply = bus.request(command_frame(), expected, Duration::from_millis(20));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->id, expected);
    EXPECT_EQ(bus.read_timeouts.size(), 2u);
}

TEST(Request, ReturnsAMatchingFrameUnchangedWhateverItsShape) {
    const CanFrame shapes[] = {
        {kReplyId,
         {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0x00, 0x00},
         true,
         true},
        {kReplyId, {0x10, 0x20, 0x30}, true, false},
        {kReplyId, {0x10, 0x20, 0x30}, false, false},
        {kReplyId, {}, false, false},
    };
    for (const CanFrame& shape : shapes) {
        ScriptedTransport bus;
        bus.queue(shape);
        const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));
        ASSERT_TRUE(reply.has_value());
        expect_same_frame(*reply, shape);
    }
}

TEST(Request, ZeroTimeoutStillSendsAndMakesOneReadWithNothingLeft) {
    ScriptedTransport bus;

    const auto reply = bus.request(command_frame(), kReplyId, Duration{});

    EXPECT_EQ(reply.error(), TransportError::timeout());
    EXPECT_EQ(bus.sent.size(), 1u);
    EXPECT_EQ(read_timeouts_ns(bus), std::vector<std::uint64_t>{0});
}

TEST(Request, ZeroTimeoutTakesAReplyThatNeedsNoWaiting) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)));
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration{});

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->id, kReplyId);
    EXPECT_EQ(read_timeouts_ns(bus), (std::vector<std::uint64_t>{0, 0}));
}

TEST(Request, ReadErrorEndsTheRequestAtOnceWithTimeLeft) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)), 1 * kMs);
    bus.queue_error(TransportError::backend(ENETDOWN), 2 * kMs);
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(500));

    EXPECT_EQ(reply.error(), TransportError::backend(ENETDOWN));
    EXPECT_EQ(bus.read_timeouts.size(), 2u);
    EXPECT_EQ(bus.reads.size(), 1u);
    EXPECT_EQ(bus.clock_ns - bus.send_times[0], 3 * kMs);
}

TEST(Request, FloodOfOtherIdentifiersEndsWithTimeoutAtTheDeadline) {
    ScriptedTransport bus;
    for (int i = 0; i < 200; ++i) {
        bus.queue(frame_at(CanId::standard(0x012)), 300'000);
    }

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    EXPECT_EQ(reply.error(), TransportError::timeout());
    EXPECT_EQ(bus.clock_ns - bus.send_times[0], 20 * kMs);
    // 66 frames fit in 19.8 ms; the 67th would come after the deadline.
    EXPECT_EQ(bus.read_timeouts.size(), 67u);
    EXPECT_EQ(to_nanos(bus.read_timeouts.back()), 200'000u);
}

TEST(Request, FrameReadPastTheDeadlineEndsWithoutAnotherRead) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)), 19 * kMs);
    bus.queue_late(frame_at(CanId::standard(0x012)), 2 * kMs);
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    EXPECT_EQ(reply.error(), TransportError::timeout());
    EXPECT_EQ(read_timeouts_ns(bus), (std::vector<std::uint64_t>{20 * kMs, 1 * kMs}));
    EXPECT_EQ(bus.reads.size(), 1u);
}

TEST(Request, FrameReadExactlyAtTheDeadlineStillAllowsAZeroRead) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)), 20 * kMs);
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(read_timeouts_ns(bus), (std::vector<std::uint64_t>{20 * kMs, 0}));
}

TEST(Request, LongestTimeoutDoesNotWrapTheDeadline) {
    ScriptedTransport bus;
    bus.queue(frame_at(kReplyId), 5 * kMs);

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(kU64Max));

    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(bus.read_timeouts.size(), 1u);
    EXPECT_EQ(to_nanos(bus.read_timeouts[0]), kU64Max - bus.send_times[0]);
}

}  // namespace
}  // namespace axiolink::transport
