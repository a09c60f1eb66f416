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

TEST(ReplyDeadline, TimeLeftIsExactOverTheWholeRange) {
    const struct {
        const char* name;
        std::uint64_t start;
        Duration timeout;
        std::uint64_t now;
        Duration left;
        bool passed;
    } cases[] = {
        {"at the start", 5, {2, 7}, 5, {2, 7}, false},
        {"part spent", 1'000, {3, 500'000'000}, 250'001'000, {3, 250'000'000}, false},
        {"nanoseconds borrow a second", 0, {3, 100}, 200, {2, 999'999'900}, false},
        {"exactly at the deadline", 7, {0, 0}, 7, {}, false},
        {"just past the deadline", 7, {0, 0}, 8, {}, true},
        {"2^64 - 1 ms",
         1'000,
         Duration::from_millis(kU64Max),
         5 * kMs + 1'000,
         {18'446'744'073'709'551, 610'000'000},
         false},
        {"longest time-out, clock at its end",
         0,
         {kU64Max, 999'999'999},
         kU64Max,
         {kU64Max - 18'446'744'073, 290'448'384},
         false},
        {"a clock reading before the start", 10, {1, 0}, 5, {1, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ReplyDeadline deadline(MonotonicTime{c.start}, c.timeout);
        EXPECT_EQ(deadline.left(MonotonicTime{c.now}), c.left);
        EXPECT_EQ(deadline.passed(MonotonicTime{c.now}), c.passed);
    }
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

TEST(Request, LongestTimeoutKeepsTheTimeLeftExact) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)), 5 * kMs);
    bus.queue(frame_at(kReplyId));

    // 2^64 - 1 ms: far more nanoseconds than 64 bits hold.
    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(kU64Max));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(bus.read_timeouts, (std::vector<Duration>{{18'446'744'073'709'551, 615'000'000},
                                                        {18'446'744'073'709'551, 610'000'000}}));
}

// What the interruption check saw; reset by each test that sets one.
int g_checks = 0;
int g_stop_at_check = 0;         // 0: never ask to stop between reads
bool g_end_interrupted = true;   // the answer after an interrupted read
std::vector<bool> g_check_kinds;  // read_interrupted of every call

bool count_and_maybe_stop(bool read_interrupted) noexcept {
    g_check_kinds.push_back(read_interrupted);
    ++g_checks;
    return read_interrupted ? g_end_interrupted : g_checks == g_stop_at_check;
}

ScriptedTransport with_interruption_check(int stop_at_check, bool end_interrupted = true) {
    g_checks = 0;
    g_stop_at_check = stop_at_check;
    g_end_interrupted = end_interrupted;
    g_check_kinds.clear();
    ScriptedTransport bus;
    bus.set_interruption_check(count_and_maybe_stop);
    return bus;
}

TEST(Interruption, ACheckThatLetsTheWaitGoOnChangesNothing) {
    ScriptedTransport bus = with_interruption_check(0);
    bus.queue(frame_at(CanId::standard(0x012)), 3 * kMs);
    bus.queue(frame_at(CanId::standard(0x013)), 4 * kMs);
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(g_check_kinds, (std::vector<bool>{false, false}));  // not after the match
    EXPECT_EQ(read_timeouts_ns(bus), (std::vector<std::uint64_t>{20 * kMs, 17 * kMs, 13 * kMs}));
}

TEST(Interruption, ACheckBetweenReadsEndsTheWaitAsInterrupted) {
    ScriptedTransport bus = with_interruption_check(2);
    for (int i = 0; i < 5; ++i) {
        bus.queue(frame_at(CanId::standard(0x012)), 1 * kMs);
    }
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    EXPECT_EQ(reply.error(), TransportError::backend(EINTR));
    EXPECT_EQ(g_checks, 2);
    EXPECT_EQ(bus.read_timeouts.size(), 2u);
}

// Only an interrupted read asks the check; any other failed read ends the
// wait with its error. An interrupted read that is not the wait's concern
// is followed by another with what is left of the time.
TEST(Interruption, AnInterruptedReadEndsTheWaitOnlyWhenTheCheckSaysSo) {
    const struct {
        int os_error;
        bool end_interrupted;
        bool replied;
        std::vector<bool> checks;
        std::vector<std::uint64_t> timeouts_ns;
    } cases[] = {
        {EINTR, true, false, {true}, {20 * kMs}},
        {EINTR, false, true, {true}, {20 * kMs, 18 * kMs}},
        {ENETDOWN, false, false, {}, {20 * kMs}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.os_error);
        SCOPED_TRACE(c.end_interrupted);
        ScriptedTransport bus = with_interruption_check(0, c.end_interrupted);
        bus.queue_error(TransportError::backend(c.os_error), 2 * kMs);
        bus.queue(frame_at(kReplyId));

        const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

        if (c.replied) {
            EXPECT_TRUE(reply.has_value());
        } else {
            EXPECT_EQ(reply.error(), TransportError::backend(c.os_error));
        }
        EXPECT_EQ(g_check_kinds, c.checks);
        EXPECT_EQ(read_timeouts_ns(bus), c.timeouts_ns);
    }
}

// Without a check, an interrupted read ends the wait and nothing between
// reads does.
TEST(Interruption, WithoutACheckAnInterruptedReadEndsTheWait) {
    ScriptedTransport bus;
    bus.queue(frame_at(CanId::standard(0x012)), 1 * kMs);
    bus.queue_error(TransportError::backend(EINTR), 1 * kMs);
    bus.queue(frame_at(kReplyId));

    const auto reply = bus.request(command_frame(), kReplyId, Duration::from_millis(20));

    EXPECT_EQ(reply.error(), TransportError::backend(EINTR));
    EXPECT_EQ(bus.read_timeouts.size(), 2u);
}

}  // namespace
}  // namespace axiolink::transport
