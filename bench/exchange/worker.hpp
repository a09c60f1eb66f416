#pragma once
// What the C++ programs of the exchange benchmark share: the ids and frames
// on the bus, and the round loop of a requester.
//
// A requester reads rounds from stdin, one line "COUNT BLOCK" each (COUNT a
// multiple of BLOCK). For each it opens the bus, makes COUNT exchanges,
// reading the clock once every BLOCK exchanges, closes the bus and answers on
// stdout with one line: "ok NS NS ..." holding the nanoseconds each block
// took, or "error TEXT". Inside a User-Mode Linux guest a clock read is a
// system call as dear as the exchange's own, hence the blocks. The socket
// lives for one round only, so that an idle requester's socket does not
// queue up the replies meant for the others.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "damiao/mit.hpp"

namespace axiolink::bench {

inline constexpr std::string_view kInterface = "vcan0";
inline constexpr std::uint16_t kMotorId = 0x001;
inline constexpr std::uint16_t kMasterId = 0x011;
// The setpoint every MIT requester sends: 1.0, -2.0, 20.0, 0.5, 0.25.
inline constexpr damiao::FrameBytes kMitCommand{0x8A, 0x3C, 0x77, 0x70, 0xA3, 0x19, 0x98, 0x32};
// A plausible feedback: motor 1 enabled, near zero, 30 and 32 degrees.
inline constexpr damiao::FrameBytes kFeedback{0x11, 0x80, 0x12, 0x7F, 0xE8, 0x05, 30, 32};
// The reply time-out of every requester, in milliseconds: long, so that a
// hiccup of a shared host does not end a run; the cost of an exchange does
// not depend on it.
inline constexpr std::uint64_t kTimeoutMillis = 500;

std::uint64_t monotonic_nanos() noexcept;

struct Round {
    std::uint64_t count = 0;
    std::uint64_t block = 0;
};

// The next round asked for on stdin; nullopt at the end of input. A line
// that is not a valid round is answered with an error and skipped.
std::optional<Round> read_round();
void report_blocks(std::span<const std::uint64_t> block_nanos);
void report_error(std::string_view text);

using ExchangeResult = std::expected<void, std::string>;

// Serves rounds until stdin ends. `Session::open()` returns
// std::expected<Session, std::string> and `Session::exchange()` makes one
// exchange, returning ExchangeResult.
template <class Session>
int serve_rounds() {
    std::vector<std::uint64_t> blocks;
    while (const std::optional<Round> round = read_round()) {
        auto session = Session::open();
        if (!session) {
            report_error(session.error());
            continue;
        }
        blocks.clear();
        blocks.reserve(round->count / round->block);
        std::string failure;
        std::uint64_t started = monotonic_nanos();
        for (std::uint64_t done = 0; done < round->count && failure.empty(); done += round->block) {
            for (std::uint64_t i = 0; i < round->block; ++i) {
                if (ExchangeResult result = session->exchange(); !result) {
                    failure = std::move(result.error());
                    break;
                }
            }
            const std::uint64_t now = monotonic_nanos();
            blocks.push_back(now - started);
            started = now;
        }
        if (failure.empty()) {
            report_blocks(blocks);
        } else {
            report_error(failure);
        }
    }
    return 0;
}

}  // namespace axiolink::bench
