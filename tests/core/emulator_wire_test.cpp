#include "emulator/wire.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace axiolink::emulator {
namespace {

using transport::CanFrame;
using transport::CanId;
using transport::MonotonicTime;
using transport::Payload;

// A classic frame written out as text, one character per bit, as a
// transmitter puts it on the wire: the CRC by long division of the text,
// then a stuff bit after every five equal bits up to the CRC's end, then the
// fixed trailer and the intermission.
std::string bits_of(std::uint64_t value, int count) {
    std::string text;
    for (int i = count - 1; i >= 0; --i) {
        text += ((value >> i) & 1U) != 0 ? '1' : '0';
    }
    return text;
}

std::size_t reference_bits(const CanFrame& frame) {
    std::string body = "0";
    if (frame.id.kind == transport::IdKind::Standard) {
        body += bits_of(frame.id.value, 11) + "000";
    } else {
        body += bits_of(frame.id.value >> 18, 11) + "11" + bits_of(frame.id.value, 18) + "000";
    }
    body += bits_of(frame.data.size(), 4);
    for (const std::uint8_t byte : frame.data.bytes()) {
        body += bits_of(byte, 8);
    }
    std::string remainder = body + std::string(15, '0');
    const std::string generator =
        "1100010110011001";  // x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1
    for (std::size_t i = 0; i + 15 < remainder.size(); ++i) {
        if (remainder[i] == '1') {
            for (std::size_t j = 0; j < generator.size(); ++j) {
                remainder[i + j] = remainder[i + j] == generator[j] ? '0' : '1';
            }
        }
    }
    body += remainder.substr(remainder.size() - 15);
    std::string stuffed;
    int run = 0;
    char last = 'x';
    for (const char bit : body) {
        stuffed += bit;
        run = bit == last ? run + 1 : 1;
        last = bit;
        if (run == 5) {
            last = bit == '0' ? '1' : '0';
            stuffed += last;
            run = 1;
        }
    }
    return stuffed.size() + 10 + 3;
}

CanFrame standard(std::uint16_t id, Payload data) {
    return CanFrame{CanId::standard(id), data};
}

TEST(WireBits, ClassicFramesCountEveryStuffBitOfTheirOwnContent) {
    const std::vector<CanFrame> frames{
        standard(0x000, Payload{0, 0, 0, 0, 0, 0, 0, 0}),
        standard(0x7FF, Payload{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        standard(0x555, Payload{0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA}),
        standard(0x001,
                 Payload{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}),  // an MIT zero command
        standard(0x011, Payload{0x11, 0x80, 0x00, 0x7F, 0xF8, 0x00, 0x1E, 0x20}),  // a feedback
        standard(0x7FF, Payload{0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}),  // a register read
        standard(0x123, Payload{}),
        CanFrame{CanId::extended(0x1FFFFFFF), Payload{1, 2, 3}},
        CanFrame{CanId::extended(0x00000000), Payload{0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const CanFrame& frame : frames) {
        EXPECT_EQ(wire_bits(frame), reference_bits(frame)) << frame.id.value;
    }
    // Without stuff bits an 8-byte standard frame takes 111 bits, with the
    // most it can hold 135.
    for (const CanFrame& frame : std::vector(frames.begin(), frames.begin() + 6)) {
        EXPECT_GE(wire_bits(frame), 111U);
        EXPECT_LE(wire_bits(frame), 135U);
    }
    EXPECT_GT(wire_bits(frames[0]), wire_bits(frames[2]));
}

constexpr std::uint64_t kStart = 5'000'000'000;

// Commands at ids 1..n sent at once, each answered by its motor at
// 0x10 + id: when each answer reaches the host, by the wire's arithmetic.
std::vector<std::uint64_t> answers_at_host(std::size_t n, WireTiming timing) {
    Wire wire(timing, 64);
    for (std::uint16_t id = 1; id <= n; ++id) {
        EXPECT_TRUE(wire.offer_from_host(
            standard(id, Payload{0x7F, 0xFF, 0x7F, 0xF0, 0, 0, 7, static_cast<std::uint8_t>(id)}),
            MonotonicTime{kStart}));
    }
    std::vector<std::uint64_t> at_host;
    while (const auto end = wire.next_end()) {
        wire.advance(*end, [&](const Wire::Transmitted& carried) {
            if (carried.origin == Wire::Origin::Host) {
                const auto id = static_cast<std::uint16_t>(carried.frame.id.value);
                EXPECT_TRUE(wire.offer_from_motor(
                    standard(0x10 + id, Payload{static_cast<std::uint8_t>(id), 0x80, 0, 0x7F, 0xF8,
                                                0, 30, 32}),
                    carried.end));
            } else {
                at_host.push_back(carried.end.nanos + timing.adapter_latency_nanos - kStart);
            }
        });
    }
    return at_host;
}

std::uint64_t nanos_for(std::size_t bits, std::uint32_t bitrate) {
    return (bits * 1'000'000'000ULL + bitrate - 1) / bitrate;
}

void answered_when_the_wire_allows(std::size_t n) {
    SCOPED_TRACE(n);
    const WireTiming timing{1'000'000, 50'000, 250'000};
    const std::vector<std::uint64_t> at_host = answers_at_host(n, timing);
    ASSERT_EQ(at_host.size(), n);
    // By hand: the commands go first, back to back, from one adapter latency
    // on. Each answer is ready a reaction time after its command; the lower
    // command ids win over the answers' master ids while any is left, and
    // then the answers follow in order, each after the wire is free and it is
    // ready; each reaches the host one adapter latency after its last bit.
    std::uint64_t wire_free = timing.adapter_latency_nanos;
    std::vector<std::uint64_t> ready;
    for (std::uint16_t id = 1; id <= n; ++id) {
        wire_free += nanos_for(reference_bits(standard(id, Payload{0x7F, 0xFF, 0x7F, 0xF0, 0, 0, 7,
                                                                   static_cast<std::uint8_t>(id)})),
                               timing.bitrate);
        ready.push_back(wire_free + timing.reaction_nanos);
    }
    for (std::uint16_t id = 1; id <= n; ++id) {
        const std::uint64_t start = std::max(wire_free, ready[id - 1U]);
        wire_free =
            start +
            nanos_for(reference_bits(standard(0x10 + id, Payload{static_cast<std::uint8_t>(id),
                                                                 0x80, 0, 0x7F, 0xF8, 0, 30, 32})),
                      timing.bitrate);
        EXPECT_EQ(at_host[id - 1U], wire_free + timing.adapter_latency_nanos) << id;
    }
}

TEST(Wire, CommandsSentAtOnceAreAnsweredAtTheTimesTheWireAllows) {
    // One motor answers a reaction time after its command's last bit; of
    // several, the later answers are ready while the wire still carries
    // commands and the answers before them.
    for (const std::size_t n : {std::size_t{1}, std::size_t{4}}) {
        answered_when_the_wire_allows(n);
    }
}

TEST(Wire, TheLowestReadyIdWinsAndNoFrameInterruptsAnother) {
    Wire wire(WireTiming{500'000, 0, 0}, 8);
    const std::uint64_t frame_nanos = nanos_for(wire_bits(standard(0x300, Payload{})), 500'000);
    ASSERT_TRUE(wire.offer_from_host(standard(0x300, Payload{}), MonotonicTime{kStart}));
    // Ready while 0x300 is on the wire: they wait for it, then the lower wins.
    ASSERT_TRUE(wire.offer_from_host(standard(0x200, Payload{}), MonotonicTime{kStart + 10}));
    ASSERT_TRUE(wire.offer_from_motor(standard(0x100, Payload{}), MonotonicTime{kStart + 20}));
    std::vector<std::pair<std::uint32_t, std::uint64_t>> order;
    while (const auto end = wire.next_end()) {
        wire.advance(*end, [&](const Wire::Transmitted& carried) {
            order.emplace_back(carried.frame.id.value, carried.end.nanos - kStart);
        });
    }
    EXPECT_EQ(order,
              (std::vector<std::pair<std::uint32_t, std::uint64_t>>{
                  {0x300, frame_nanos}, {0x100, 2 * frame_nanos}, {0x200, 3 * frame_nanos}}));
    EXPECT_FALSE(wire.next_end().has_value());
}

TEST(Wire, NoMotorFrameEndsBeforeTheTimeTheCallerMaySleepTo) {
    const std::uint32_t bitrate = 500'000;
    Wire wire(WireTiming{bitrate, 0, 0}, 8);
    std::size_t fewest = reference_bits(standard(0, Payload{}));
    for (std::uint16_t id = 1; id <= 0x7FF; ++id) {
        fewest = std::min(fewest, reference_bits(standard(id, Payload{})));
    }
    EXPECT_LE(wire.shortest_transmission_nanos(), nanos_for(fewest, bitrate));
    EXPECT_FALSE(wire.next_motor_end().has_value());
    // A command takes the wire first: a motor's frame can only follow it.
    ASSERT_TRUE(wire.offer_from_host(standard(0x001, Payload{}), MonotonicTime{kStart}));
    ASSERT_TRUE(wire.offer_from_motor(standard(0x100, Payload{}), MonotonicTime{kStart + 20}));
    const MonotonicTime command_end = *wire.next_end();
    EXPECT_EQ(wire.next_motor_end(),
              MonotonicTime{command_end.nanos + wire.shortest_transmission_nanos()});
    wire.advance(command_end, [](const Wire::Transmitted&) {});
    EXPECT_EQ(wire.next_motor_end(), wire.next_end());
}

TEST(Wire, ArbitrationGoesByBaseIdWithAStandardIdBeforeAnExtendedOneOfTheSameBase) {
    // An extended id's top 11 bits are its base: they meet a standard id's 11
    // bits first, and at the same base the standard id's dominant IDE bit wins.
    struct Case {
        CanId first;   // wins
        CanId second;  // offered first, so the order of offers does not decide
    };
    const Case cases[] = {
        {CanId::extended(0x00040000), CanId::standard(0x002)},  // base 1 before 2
        {CanId::standard(0x001), CanId::extended(0x00040000)},  // same base 1
        {CanId::extended(0x00000001), CanId::standard(0x001)},  // base 0, raw value equal
    };
    for (const Case& c : cases) {
        Wire wire(WireTiming{1'000'000, 0, 0}, 8);
        // Both are ready while a frame holds the wire, and contend when it ends.
        ASSERT_TRUE(wire.offer_from_host(standard(0x7FF, Payload{}), MonotonicTime{kStart}));
        ASSERT_TRUE(
            wire.offer_from_host(CanFrame{c.second, Payload{1}}, MonotonicTime{kStart + 1}));
        ASSERT_TRUE(
            wire.offer_from_motor(CanFrame{c.first, Payload{2}}, MonotonicTime{kStart + 2}));
        std::vector<std::uint32_t> order;
        while (const auto end = wire.next_end()) {
            wire.advance(*end, [&](const Wire::Transmitted& carried) {
                order.push_back(carried.frame.id.value);
            });
        }
        EXPECT_EQ(order, (std::vector<std::uint32_t>{0x7FF, c.first.value, c.second.value}))
            << c.first.value << " " << c.second.value;
    }
}

TEST(Wire, AHeldBackCallerCarriesOutTheTransmissionsThatEndedMeanwhileAtTheirOwnTimes) {
    const std::uint32_t bitrate = 1'000'000;
    Wire wire(WireTiming{bitrate, 0, 0}, 8);
    const auto frame = [](std::uint16_t id) { return standard(id, Payload{0, 0, 0, 0}); };
    const auto nanos = [&](std::uint16_t id) { return nanos_for(wire_bits(frame(id)), bitrate); };
    ASSERT_TRUE(wire.offer_from_host(frame(0x003), MonotonicTime{kStart}));
    ASSERT_TRUE(wire.offer_from_host(frame(0x002), MonotonicTime{kStart}));
    std::vector<std::pair<std::uint32_t, std::uint64_t>> carried;
    const auto advance = [&](std::uint64_t now) {
        wire.advance(MonotonicTime{now}, [&](const Wire::Transmitted& t) {
            carried.emplace_back(t.frame.id.value, t.end.nanos);
        });
    };
    advance(kStart + 10'000'000);
    // A frame read only now, stamped long ago, contends from the end of what
    // the wire has carried out, the earliest it can still take it.
    ASSERT_TRUE(wire.offer_from_host(frame(0x001), MonotonicTime{kStart}));
    advance(kStart + 20'000'000);
    const std::uint64_t two = kStart + nanos(0x002);
    const std::uint64_t three = two + nanos(0x003);
    EXPECT_EQ(carried,
              (decltype(carried){{0x002, two}, {0x003, three}, {0x001, three + nanos(0x001)}}));
}

TEST(AdapterQueue, HandsFramesToTheHostWhenDueAndNeverCloserThanTheWireCarriesThem) {
    const std::uint32_t bitrate = 1'000'000;
    const std::uint64_t latency = 250'000;
    AdapterQueue queue(WireTiming{bitrate, 0, latency}, 4);
    const auto frame = [](std::uint16_t id, std::uint8_t length) {
        return standard(id, Payload(std::vector<std::uint8_t>(length, 0x55)));
    };
    const auto nanos = [&](const CanFrame& f) { return nanos_for(wire_bits(f), bitrate); };
    const CanFrame a = frame(0x011, 8);
    const CanFrame b = frame(0x012, 2);
    const CanFrame c = frame(0x013, 5);
    EXPECT_FALSE(queue.next_due().has_value());
    // On time: each is due one adapter latency after it left the wire.
    ASSERT_TRUE(queue.push(a, MonotonicTime{kStart}));
    ASSERT_TRUE(queue.push(b, MonotonicTime{kStart + nanos(b)}));
    EXPECT_EQ(queue.next_due(), MonotonicTime{kStart + latency});
    queue.pop(MonotonicTime{kStart + latency});
    EXPECT_EQ(queue.next_due(), MonotonicTime{kStart + nanos(b) + latency});
    EXPECT_EQ(queue.front().id.value, 0x012U);
    // Held back 10 ms: all three are overdue; the first goes when it can,
    // the next a frame's time of its own after it really went, and so on.
    ASSERT_TRUE(queue.push(c, MonotonicTime{kStart + nanos(b) + nanos(c)}));
    const std::uint64_t late = kStart + 10'000'000;
    queue.pop(MonotonicTime{late});
    EXPECT_EQ(queue.next_due(), MonotonicTime{late + nanos(c)});
    EXPECT_EQ(queue.front().id.value, 0x013U);
    queue.pop(MonotonicTime{late + nanos(c) + 7'000});
    EXPECT_FALSE(queue.next_due().has_value());
    // A frame that leaves the wire later is due at its own time again.
    ASSERT_TRUE(queue.push(a, MonotonicTime{late + 1'000'000}));
    EXPECT_EQ(queue.next_due(), MonotonicTime{late + 1'000'000 + latency});
    ASSERT_TRUE(queue.push(a, MonotonicTime{late + 2'000'000}));
    ASSERT_TRUE(queue.push(a, MonotonicTime{late + 3'000'000}));
    ASSERT_TRUE(queue.push(a, MonotonicTime{late + 4'000'000}));
    EXPECT_FALSE(queue.push(a, MonotonicTime{late + 5'000'000}));  // beyond capacity
}

}  // namespace
}  // namespace axiolink::emulator
