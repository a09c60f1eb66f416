#pragma once
// An in-memory BusSet with its own clock and motors that answer: it records
// every drain, send and wait in order, so that tests see what a group cycle
// did and when. Its memory is reserved up front and its event texts are
// short enough to stay inline, so a cycle on it touches the heap only
// through the code under test.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transport/bus_set.hpp"

namespace axiolink::testing {

using transport::BatchSent;
using transport::BusFrame;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::MonotonicTime;
using transport::Payload;
using transport::TransportError;
using transport::TransportResult;

class ScriptedBuses final : public transport::BusSet {
public:
    struct Arrival {
        std::uint64_t at_ns;
        BusFrame frame;
    };
    // Called for every frame sent; may schedule arrivals (a motor's reply).
    using Responder =
        std::function<void(ScriptedBuses& buses, std::size_t bus, const CanFrame& sent)>;

    explicit ScriptedBuses(std::size_t count, Responder responder = nullptr)
        : count_(count), responder_(std::move(responder)) {
        waiting_.reserve(64);
        arrivals_.reserve(256);
        events.reserve(1024);
        sent.reserve(256);
        sent_at.reserve(256);
    }

    // "drain 0", "send 0 x3", "wait": what the cycle asked, in order.
    std::vector<std::string> events;
    std::vector<BusFrame> sent;
    std::vector<std::uint64_t> sent_at;        // the clock when each was sent
    std::optional<TransportError> wait_error;  // a wait fails with this once,
    std::size_t wait_error_after = 0;          // after this many more waits
    // The next sends take only this many frames in all, then fail with
    // `send_error` (a full queue; EINTR: a signal during the wait for room).
    std::optional<std::size_t> send_room;
    std::optional<TransportError> drain_error;  // the next take_waiting fails with this
    TransportError send_error = TransportError::backend(ENOBUFS);
    std::uint64_t clock_ns = 1'000'000'000;

    // A frame already waiting on `bus` (drained by the next drain).
    void leave_waiting(std::size_t bus, CanFrame frame) { waiting_.push_back({bus, frame}); }
    // A frame that arrives on `bus` `after_ns` from now.
    void arrive(std::size_t bus, CanFrame frame, std::uint64_t after_ns) {
        // Kept in order of arrival; equal times in the order they were made.
        const Arrival arrival{clock_ns + after_ns, {bus, frame}};
        arrivals_.insert(std::ranges::upper_bound(arrivals_, arrival.at_ns, {}, &Arrival::at_ns),
                         arrival);
    }
    std::size_t drained = 0;

    std::size_t size() const noexcept override { return count_; }

    BatchSent send(std::size_t bus, std::span<const CanFrame> frames,
                   MonotonicTime /*until*/) override {
        events.push_back("send " + std::to_string(bus) + " x" + std::to_string(frames.size()));
        std::size_t taken = 0;
        for (const CanFrame& frame : frames) {
            if (send_room && *send_room == 0) {
                send_room.reset();
                return {taken, send_error};
            }
            if (send_room) {
                --*send_room;
            }
            sent.push_back({bus, frame});
            sent_at.push_back(clock_ns);
            ++taken;
            if (responder_) {
                responder_(*this, bus, frame);
            }
        }
        return {taken, std::nullopt};
    }

    TransportResult<std::size_t> take_waiting(std::size_t bus, std::span<BusFrame> out) override {
        events.push_back("drain " + std::to_string(bus));
        if (drain_error) {
            return std::unexpected(*std::exchange(drain_error, std::nullopt));
        }
        // Frames due by now are waiting as well.
        for (auto it = arrivals_.begin(); it != arrivals_.end();) {
            if (it->at_ns <= clock_ns) {
                waiting_.push_back(it->frame);
                it = arrivals_.erase(it);
            } else {
                ++it;
            }
        }
        std::size_t taken = 0;
        for (auto it = waiting_.begin(); it != waiting_.end() && taken < out.size();) {
            if (it->bus == bus) {
                out[taken++] = *it;
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
        drained += taken;
        return taken;
    }

    TransportResult<std::size_t> wait(Duration timeout, std::span<BusFrame> out) override {
        events.push_back("wait");
        if (wait_error && wait_error_after > 0) {
            --wait_error_after;
        } else if (wait_error) {
            return std::unexpected(*std::exchange(wait_error, std::nullopt));
        }
        const std::uint64_t limit = clock_ns + timeout.seconds * 1'000'000'000ULL + timeout.nanos;
        // Frames due by now (the clock may have moved on without a wait) are
        // waiting already: the clock never goes back to them.
        while (!arrivals_.empty() && arrivals_.front().at_ns <= clock_ns) {
            waiting_.push_back(arrivals_.front().frame);
            arrivals_.erase(arrivals_.begin());
        }
        if (waiting_.empty() && (arrivals_.empty() || arrivals_.front().at_ns > limit)) {
            clock_ns = limit;
            return std::unexpected(TransportError::timeout());
        }
        if (waiting_.empty()) {
            clock_ns = arrivals_.front().at_ns;
        }
        while (!arrivals_.empty() && arrivals_.front().at_ns <= clock_ns) {
            waiting_.push_back(arrivals_.front().frame);
            arrivals_.erase(arrivals_.begin());
        }
        std::size_t taken = 0;
        while (taken < out.size() && !waiting_.empty()) {
            out[taken++] = waiting_.front();
            waiting_.erase(waiting_.begin());
        }
        return taken;
    }

    MonotonicTime now() const noexcept override { return MonotonicTime{clock_ns}; }
    void pause_until(MonotonicTime until) noexcept override {
        events.emplace_back("pause");
        clock_ns = std::max(clock_ns, until.nanos);
    }

private:
    std::size_t count_;
    Responder responder_;
    std::vector<BusFrame> waiting_;
    std::vector<Arrival> arrivals_;
};

}  // namespace axiolink::testing
