#include "emulator/emulator.hpp"

#include <algorithm>

namespace axiolink::emulator {

Emulator::Emulator(std::span<const MotorConfig> motors, transport::MonotonicTime start) {
    motors_.reserve(motors.size());
    for (const MotorConfig& config : motors) {
        motors_.emplace_back(config, start);
    }
}

void Emulator::on_frame(const transport::CanFrame& frame, transport::MonotonicTime now,
                        Outbox& out) {
    for (EmulatedMotor& motor : motors_) {
        motor.on_frame(frame, now, out);
    }
}

PendingFrames::PendingFrames(std::size_t capacity) : capacity_(capacity) {
    heap_.reserve(capacity);
}

bool PendingFrames::push(const Outgoing& outgoing) {
    if (heap_.size() >= capacity_) {
        return false;
    }
    heap_.push_back({outgoing, next_sequence_++});
    std::push_heap(heap_.begin(), heap_.end(), later);
    return true;
}

void PendingFrames::pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    heap_.pop_back();
}

bool PendingFrames::later(const Entry& a, const Entry& b) noexcept {
    if (a.outgoing.due != b.outgoing.due) {
        return a.outgoing.due > b.outgoing.due;
    }
    return a.sequence > b.sequence;
}

}  // namespace axiolink::emulator
