#pragma once
// Arrival times of received frames on the monotonic clock, taken from the
// kernel's receive stamps, which are on the wall clock: an offset measured
// from one reading of each clock maps one onto the other.
//
// Plain value; not thread-safe.

#include <cstdint>
#include <optional>

#include "transport/can.hpp"

namespace axiolink::emulator {

class ArrivalClock {
public:
    // Measures the offset from readings of both clocks taken together.
    void calibrate(transport::MonotonicTime monotonic, std::int64_t wall_nanos) noexcept;

    // The wall-clock stamp as a monotonic time. Nothing before the first
    // calibration, and nothing for a stamp that maps earlier than the last
    // one mapped (the wall clock was set back): the caller then reads the
    // monotonic clock itself and calibrates again.
    std::optional<transport::MonotonicTime> map(std::int64_t wall_nanos) noexcept;

private:
    std::optional<std::int64_t> offset_;
    std::uint64_t last_ = 0;
};

}  // namespace axiolink::emulator
