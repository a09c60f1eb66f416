#pragma once
// An in-memory CanTransport that plays a script, with its own clock, so that
// tests can see exactly what was sent, what each read was allowed to wait
// and how the deadline arithmetic behaved.

#include <cstdint>
#include <deque>
#include <optional>
#include <variant>
#include <vector>

#include "transport/can.hpp"

namespace axiolink::testing {

using transport::CanFrame;
using transport::Duration;
using transport::MonotonicTime;
using transport::TransportError;
using transport::TransportResult;

constexpr std::uint64_t to_nanos(Duration d) {
    return d.seconds * 1'000'000'000ULL + d.nanos;
}

class ScriptedTransport final : public transport::CanTransport {
public:
    // One scripted read: what it returns and how long it takes. A frame
    // arriving after the read's time-out is delivered as a Timeout instead,
    // with the clock advanced by the full time-out (as a real socket would),
    // unless it is `late`: a reader woken after its time-out that still finds
    // the frame, with the clock advanced by the whole `takes_ns`.
    struct Read {
        std::variant<CanFrame, TransportError> result;
        std::uint64_t takes_ns = 0;
        bool late = false;
    };

    std::vector<CanFrame> sent;
    std::vector<Duration> read_timeouts;       // what each recv was given
    std::vector<std::uint64_t> send_times;     // clock when each send returned
    std::optional<TransportError> send_error;  // next sends fail with this
    std::uint64_t send_takes_ns = 0;
    std::deque<Read> reads;  // empty: every read times out
    std::uint64_t clock_ns = 1'000'000'000;

    TransportResult<void> send(const CanFrame& frame) override {
        clock_ns += send_takes_ns;
        if (send_error) {
            return std::unexpected(*send_error);
        }
        sent.push_back(frame);
        send_times.push_back(clock_ns);
        return {};
    }

    TransportResult<CanFrame> recv(Duration timeout) override {
        read_timeouts.push_back(timeout);
        const std::uint64_t limit = to_nanos(timeout);
        if (reads.empty() || (reads.front().takes_ns > limit && !reads.front().late)) {
            clock_ns += limit;
            return std::unexpected(TransportError::timeout());
        }
        Read read = reads.front();
        reads.pop_front();
        clock_ns += read.takes_ns;
        if (auto* error = std::get_if<TransportError>(&read.result)) {
            return std::unexpected(*error);
        }
        return std::get<CanFrame>(read.result);
    }

    void queue(CanFrame frame, std::uint64_t takes_ns = 0) {
        reads.push_back({std::move(frame), takes_ns});
    }
    void queue_late(CanFrame frame, std::uint64_t takes_ns) {
        reads.push_back({std::move(frame), takes_ns, true});
    }
    void queue_error(TransportError error, std::uint64_t takes_ns = 0) {
        reads.push_back({error, takes_ns});
    }

protected:
    MonotonicTime now() const noexcept override { return MonotonicTime{clock_ns}; }
};

}  // namespace axiolink::testing
