#pragma once
// Several buses used together by one thread: frames sent to each without
// waiting for answers, frames already waiting taken off without waiting, and
// one wait that wakes for whichever bus has something.
//
// A plain request waits on one bus for one reply at a time; commanding many
// motors at the pace of the wire needs every command out before the first
// reply is awaited, and every bus awaited at once. No locking inside: the
// caller holds exclusive use of every bus for the whole of each operation.

#include <time.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <span>

#include "transport/can.hpp"

namespace axiolink::transport {

// One frame taken off one of the set's buses.
struct BusFrame {
    std::size_t bus = 0;
    CanFrame frame;
};

// How far a batch of sends got: the first `sent` frames went out; when that
// is short of the batch, `error` is why the next one did not.
struct BatchSent {
    std::size_t sent = 0;
    std::optional<TransportError> error;
};

class BusSet {
public:
    virtual ~BusSet() = default;

    virtual std::size_t size() const noexcept = 0;

    // Sends `frames` on bus `bus` in order, without reading anything. A full
    // send queue (the adapter's transmit queue, or the socket's buffer) is
    // waited out until `until`; past it, the frames not sent are reported
    // with the error the last attempt met (ENOBUFS, EAGAIN). A signal that
    // interrupts that wait ends the batch with Backend EINTR, so that the
    // caller can decide whether to go on with the rest.
    virtual BatchSent send(std::size_t bus, std::span<const CanFrame> frames,
                           MonotonicTime until) = 0;

    // Moves up to out.size() frames already waiting on bus `bus` into `out`,
    // without waiting; returns how many (zero: none was waiting). Backend
    // for a failed read.
    virtual TransportResult<std::size_t> take_waiting(std::size_t bus, std::span<BusFrame> out) = 0;

    // Waits at most `timeout` until a frame is waiting on any bus, then moves
    // waiting frames into `out` and returns how many; zero only when what
    // woke it was no frame after all. Every bus with frames gets its turn on
    // each wake-up, so a flood on one bus cannot starve another. Timeout when
    // nothing came; Backend for a failed wait or read, EINTR when a signal
    // interrupted the wait.
    virtual TransportResult<std::size_t> wait(Duration timeout, std::span<BusFrame> out) = 0;

    // The clock deadlines are measured on; tests replace it.
    virtual MonotonicTime now() const noexcept { return MonotonicTime::now(); }
    // Sleeps until `until` on that clock (at once when it has passed); no
    // signal ends it.
    virtual void pause_until(MonotonicTime until) noexcept {
        const timespec at{static_cast<time_t>(until.nanos / 1'000'000'000),
                          static_cast<long>(until.nanos % 1'000'000'000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }

protected:
    BusSet() = default;
    BusSet(const BusSet&) = default;
    BusSet& operator=(const BusSet&) = default;
};

}  // namespace axiolink::transport
