#pragma once
// Arrival times of received frames on the monotonic clock, taken from the
// kernel's receive stamps, which are on the wall clock: an offset measured
// from readings of both clocks maps one onto the other.
//
// The timed wire orders frames by their mapped arrivals, so two frames
// mapped with different offsets could change places: one moved a few
// microseconds turns a command that was ready first into one that waits for
// an answer, and the answers behind it then leave a millisecond or more
// sooner than a real wire allows. The offset a stamp is mapped with
// therefore changes only when the caller says no frame mapped before can
// still contend with one mapped after (`refine`), or when the wall clock
// was set.
//
// Plain value; not thread-safe.

#include <cstdint>
#include <optional>

#include "transport/can.hpp"

namespace axiolink::emulator {

class ArrivalClock {
public:
    // One measurement: the wall clock read between two readings of the
    // monotonic clock. The true offset lies within that bracket; what is
    // known is where all brackets so far overlap, however wide a preempted
    // one is (milliseconds on a loaded machine). A bracket that does not
    // overlap it means the wall clock was set: it replaces what is known,
    // is taken into use at once, and stamps mapped before no longer bound
    // the next ones.
    void calibrate(transport::MonotonicTime before, std::int64_t wall_nanos,
                   transport::MonotonicTime after) noexcept;

    // Takes the offset known from the measurements since into use. For
    // when no frame mapped so far contends with the next ones any more.
    void refine() noexcept;

    // The wall-clock stamp as a monotonic time: never sooner than the frame
    // can have arrived, since the offset is the late edge of what is known.
    // Nothing before the first calibration, and nothing for a stamp earlier
    // than the last one mapped: frames are stamped in the order they are
    // read, so the wall clock was set back; the caller calibrates again and
    // retries, and failing that takes `latest()`.
    std::optional<transport::MonotonicTime> map(std::int64_t wall_nanos) noexcept;

    // The last stamp mapped: the earliest a frame read after it can have
    // arrived.
    transport::MonotonicTime latest() const noexcept;

private:
    // Bounds of the monotonic clock minus the wall clock.
    struct Bracket {
        std::int64_t low;
        std::int64_t high;
    };

    std::optional<Bracket> known_;
    std::int64_t applied_ = 0;  // the offset stamps are mapped with
    std::optional<std::int64_t> last_wall_;
};

}  // namespace axiolink::emulator
