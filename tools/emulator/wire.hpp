#pragma once
// A CAN wire with its timing: every frame occupies it for its exact length in
// bits at the bit rate, the stuff bits of its own content and the
// inter-frame space included, and frames that wait for it are arbitrated by
// identifier, the lowest first. Frames from the host reach the wire through
// an adapter that delays each direction by its latency; the motors answer
// after their reaction time.
//
// The wire keeps the times a real one would, from the frames' own arrival
// times, however late its caller runs: a caller held back carries out the
// transmissions that ended meanwhile at their own times. What the host can
// see is paced where it leaves for the host (AdapterQueue): never sooner
// than the wire's times, never closer together than the wire carries
// frames.
//
// Pure logic: the caller supplies the times. Nothing allocates after
// construction; a frame offered beyond capacity is refused. Not thread-safe.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "transport/can.hpp"

namespace axiolink::emulator {

// The bits one frame occupies on the wire: start of frame to the end of the
// end-of-frame field, every stuff bit, and the 3-bit intermission after it.
// Classic frames exactly (standard and extended ids, the CRC of their own
// content included in the stuffing). An FD frame is counted as a classic
// frame of its length at the nominal rate, with the FD CRC length and its
// fixed stuff bits: close, not exact, since the emulated motors never see one.
std::uint32_t wire_bits(const transport::CanFrame& frame) noexcept;

// How long the frame occupies a wire of the bit rate, in nanoseconds.
std::uint64_t transmission_nanos(const transport::CanFrame& frame, std::uint32_t bitrate) noexcept;

struct WireTiming {
    std::uint32_t bitrate = 1'000'000;        // bits per second
    std::uint64_t reaction_nanos = 0;         // a motor's turnaround
    std::uint64_t adapter_latency_nanos = 0;  // host <-> wire, each way
};

class Wire {
public:
    enum class Origin : std::uint8_t { Host, Motor };

    // A frame whose transmission ended: `end` is when its last bit left the
    // wire (for a motor's frame, when the host adapter has it).
    struct Transmitted {
        transport::CanFrame frame;
        transport::MonotonicTime end;
        Origin origin;
    };

    Wire(WireTiming timing, std::size_t capacity);

    const WireTiming& timing() const noexcept { return timing_; }

    // A frame that the host sent at `sent` (it reaches the wire one adapter
    // latency later), or that a motor is to answer at `due` (it contends for
    // the wire one reaction time later). A frame offered only after the wire
    // has carried out a transmission past its ready time contends when that
    // transmission ends: the earliest the wire can still take it.
    [[nodiscard]] bool offer_from_host(const transport::CanFrame& frame,
                                       transport::MonotonicTime sent);
    [[nodiscard]] bool offer_from_motor(const transport::CanFrame& frame,
                                        transport::MonotonicTime due);

    // When the next transmission ends, as far as the frames offered so far
    // decide it; nothing while none waits.
    std::optional<transport::MonotonicTime> next_end() const noexcept;

    // The least any frame occupies the wire: a classic frame without data
    // whose bits need no stuffing.
    std::uint64_t shortest_transmission_nanos() const noexcept;

    // No frame from a motor ends before this, whatever else is offered: the
    // next transmission's end when it is a motor's, a shortest frame after
    // it when it is the host's. Nothing while none waits.
    std::optional<transport::MonotonicTime> next_motor_end() const noexcept;

    // Runs the wire up to `now`, calling `ended(transmitted)` for each frame
    // whose transmission ended by then, in the order they ended. `ended` may
    // offer frames; they contend from their ready time on.
    template <class Ended>
    void advance(transport::MonotonicTime now, Ended&& ended) {
        while (auto next = start_next(now)) {
            ended(*next);
        }
    }

private:
    struct Waiting {
        transport::CanFrame frame;
        std::uint64_t ready;  // nanoseconds on the monotonic clock
        Origin origin;
        std::uint64_t sequence;
    };

    bool offer(const transport::CanFrame& frame, std::uint64_t ready, Origin origin);
    // The frame that wins the wire when it is next free: its index, start
    // and end.
    struct Winner {
        std::size_t index;
        std::uint64_t start;
        std::uint64_t end;
    };
    std::optional<Winner> winner() const noexcept;
    // Takes the next transmission off the wire when it ended by `now`.
    std::optional<Transmitted> start_next(transport::MonotonicTime now);

    WireTiming timing_;
    std::size_t capacity_;
    std::vector<Waiting> waiting_;
    std::uint64_t free_at_ = 0;
    std::uint64_t next_sequence_ = 0;
};

// The adapter's way to the host for the frames that left the wire: each is
// due one adapter latency after its last bit, in the order they left, and
// the host never gets two closer together than the later one's time on the
// wire. A caller held back past the due time of several hands over the
// first when it can, and the next is due a frame's time after that one
// really went: late stays late, it never catches up in a burst.
//
// Nothing allocates after construction; a frame beyond capacity is refused.
// Not thread-safe.
class AdapterQueue {
public:
    AdapterQueue(WireTiming timing, std::size_t capacity);

    [[nodiscard]] bool push(const transport::CanFrame& frame, transport::MonotonicTime left_wire);
    bool empty() const noexcept { return size_ == 0; }

    // When the first frame may go to the host; nothing while none waits.
    std::optional<transport::MonotonicTime> next_due() const noexcept;
    const transport::CanFrame& front() const noexcept { return frames_[head_].frame; }
    // The first frame went to the host; `sent` is a time read after it went.
    void pop(transport::MonotonicTime sent) noexcept;

private:
    struct Entry {
        transport::CanFrame frame;
        std::uint64_t due;
    };

    WireTiming timing_;
    std::vector<Entry> frames_;  // a ring of fixed size
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::optional<std::uint64_t> last_sent_;
};

}  // namespace axiolink::emulator
