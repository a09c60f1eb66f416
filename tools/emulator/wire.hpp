#pragma once
// A CAN wire with its timing: every frame occupies it for its exact length in
// bits at the bit rate, the stuff bits of its own content and the
// inter-frame space included, and frames that wait for it are arbitrated by
// identifier, the lowest first. Frames from the host reach the wire through
// an adapter that delays each direction by its latency; the motors answer
// after their reaction time.
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

    // How long the frame occupies the wire, in nanoseconds.
    std::uint64_t transmission_nanos(const transport::CanFrame& frame) const noexcept;

    // When the next transmission ends, as far as the frames offered so far
    // decide it; nothing while none waits.
    std::optional<transport::MonotonicTime> next_end() const noexcept;

    // Carries out the next transmission if it has ended by `now`, calling
    // `ended(transmitted)` for it; `ended` may offer frames, which contend
    // from their ready time on. One transmission a call: a caller held back
    // past its end (a busy machine) carries it out ending at `now`, since
    // that is when it really happened, won by the lowest id ready a frame's
    // time before, and the wire's time goes on from there. A late wire stays
    // late; it never catches up by putting frames out closer together than
    // the wire can carry them.
    template <class Ended>
    void advance(transport::MonotonicTime now, Ended&& ended) {
        if (auto next = carry_out(now)) {
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
    // The index of the frame that wins among those ready by `instant`; the
    // size of the waiting list when none is.
    std::size_t lowest_ready_by(std::uint64_t instant) const noexcept;
    // Takes the next transmission off the wire when it ended by `now`.
    std::optional<Transmitted> carry_out(transport::MonotonicTime now);

    WireTiming timing_;
    std::size_t capacity_;
    std::vector<Waiting> waiting_;
    std::uint64_t free_at_ = 0;
    std::uint64_t next_sequence_ = 0;
};

}  // namespace axiolink::emulator
