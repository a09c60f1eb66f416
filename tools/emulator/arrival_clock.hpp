#pragma once
// Arrival times of received frames on the monotonic clock, taken from the
// kernel's receive stamps, which are on the wall clock: an offset measured
// from readings of both clocks maps one onto the other.
//
// Plain value; not thread-safe.

#include <cstdint>
#include <optional>

#include "transport/can.hpp"

namespace axiolink::emulator {

class ArrivalClock {
public:
    // One measurement: the wall clock read between two readings of the
    // monotonic clock. The true offset lies within that bracket, so a
    // reading the thread was preempted in (milliseconds on a loaded
    // machine, which would make every mapped stamp and every answer that
    // early) is only as good as its width. The offset kept is that of the
    // tightest bracket so far; a measurement outside the kept offset's
    // bracket means the wall clock was set, and replaces it (and stamps
    // mapped before no longer bound the next ones).
    void calibrate(transport::MonotonicTime before, std::int64_t wall_nanos,
                   transport::MonotonicTime after) noexcept;

    // The wall-clock stamp as a monotonic time. Nothing before the first
    // calibration, and nothing for a stamp that maps earlier than the last
    // one mapped: frames are stamped in the order they are read, so the
    // wall clock was set back or the offset moved; the caller calibrates
    // again and retries, and failing that takes `latest()`.
    std::optional<transport::MonotonicTime> map(std::int64_t wall_nanos) noexcept;

    // The last stamp mapped: the earliest a frame read after it can have
    // arrived.
    transport::MonotonicTime latest() const noexcept { return transport::MonotonicTime{last_}; }

private:
    std::optional<std::int64_t> offset_;
    std::uint64_t width_ = 0;  // of the bracket the offset comes from
    std::uint64_t last_ = 0;
};

}  // namespace axiolink::emulator
