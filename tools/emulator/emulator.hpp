#pragma once
// All emulated motors of one bus, and the queue of answers that are not due
// yet.
//
// Pure logic: no socket, no clock of its own. Not thread-safe.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/emulated_motor.hpp"

namespace axiolink::emulator {

class Emulator {
public:
    Emulator(std::span<const MotorConfig> motors, transport::MonotonicTime start);

    // Hands the frame to every motor, in configuration order; several motors
    // may answer one frame. `out` needs at least `outbox_capacity()`.
    void on_frame(const transport::CanFrame& frame, transport::MonotonicTime now, Outbox& out);

    std::size_t outbox_capacity() const noexcept {
        return motors_.size() * EmulatedMotor::kMaxFramesPerAnswer;
    }
    std::span<const EmulatedMotor> motors() const noexcept { return motors_; }

private:
    std::vector<EmulatedMotor> motors_;
};

// Answers waiting for their due time, earliest first; frames due at the same
// time leave in the order they came. Its capacity is fixed when it is made:
// nothing allocates afterwards, and a frame beyond capacity is refused.
class PendingFrames {
public:
    explicit PendingFrames(std::size_t capacity);

    [[nodiscard]] bool push(const Outgoing& outgoing);
    bool empty() const noexcept { return heap_.empty(); }
    std::size_t size() const noexcept { return heap_.size(); }
    const Outgoing& front() const noexcept { return heap_.front().outgoing; }
    void pop();

private:
    struct Entry {
        Outgoing outgoing;
        std::uint64_t sequence;
    };
    // Orders the heap so that its front is the earliest due, then earliest queued.
    static bool later(const Entry& a, const Entry& b) noexcept;

    std::size_t capacity_;
    std::vector<Entry> heap_;
    std::uint64_t next_sequence_ = 0;
};

}  // namespace axiolink::emulator
