#include "emulator/wire.hpp"

#include <algorithm>
#include <tuple>

namespace axiolink::emulator {
namespace {

using transport::CanFrame;
using transport::IdKind;

constexpr std::uint32_t kIntermissionBits = 3;
// CRC delimiter, ACK slot, ACK delimiter and the 7 bits of end of frame:
// fixed form, never stuffed.
constexpr std::uint32_t kTrailerBits = 10;
constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

// The stuffed part of a classic frame, bit by bit: start of frame to the end
// of the CRC, the CRC computed over what precedes it.
class StuffedBits {
public:
    void push(std::uint32_t value, unsigned count) noexcept {
        for (unsigned i = count; i-- > 0;) {
            push_bit(((value >> i) & 1U) != 0);
        }
    }
    void push_crc() noexcept { push(crc_, 15); }
    std::uint32_t total() const noexcept { return bits_ + stuffed_; }

private:
    void push_bit(bool bit) noexcept {
        crc_step(bit);
        count_bit(bit);
    }
    void crc_step(bool bit) noexcept {
        const bool top = ((crc_ >> 14) & 1U) != 0;
        crc_ = (crc_ << 1) & 0x7FFFU;
        if (top != bit) {
            crc_ ^= 0x4599U;
        }
    }
    // After five equal bits the transmitter inserts one of the other value,
    // which then starts the next run.
    void count_bit(bool bit) noexcept {
        ++bits_;
        if (run_ > 0 && bit == last_) {
            ++run_;
        } else {
            last_ = bit;
            run_ = 1;
        }
        if (run_ == 5) {
            ++stuffed_;
            last_ = !bit;
            run_ = 1;
        }
    }

    std::uint32_t crc_ = 0;
    std::uint32_t bits_ = 0;
    std::uint32_t stuffed_ = 0;
    unsigned run_ = 0;
    bool last_ = false;
};

std::uint32_t classic_bits(const CanFrame& frame) noexcept {
    const std::size_t length = std::min<std::size_t>(frame.data.size(), 8);
    StuffedBits bits;
    bits.push(0, 1);  // start of frame
    if (frame.id.kind == IdKind::Standard) {
        bits.push(frame.id.value & 0x7FFU, 11);
        bits.push(0, 1);  // RTR: a data frame
        bits.push(0, 1);  // IDE: standard
        bits.push(0, 1);  // r0
    } else {
        bits.push((frame.id.value >> 18) & 0x7FFU, 11);
        bits.push(1, 1);  // SRR
        bits.push(1, 1);  // IDE: extended
        bits.push(frame.id.value & 0x3FFFFU, 18);
        bits.push(0, 1);  // RTR
        bits.push(0, 2);  // r1, r0
    }
    bits.push(static_cast<std::uint32_t>(length), 4);
    for (std::size_t i = 0; i < length; ++i) {
        bits.push(frame.data[i], 8);
    }
    bits.push_crc();
    return bits.total() + kTrailerBits + kIntermissionBits;
}

// Header as a classic frame, data bytes unstuffed plus one stuff bit per
// four, the 17- or 21-bit CRC with its fixed stuff bits and stuff count.
std::uint32_t fd_bits(const CanFrame& frame) noexcept {
    const auto length = static_cast<std::uint32_t>(frame.data.size());
    const std::uint32_t header = frame.id.kind == IdKind::Standard
                                     ? 1 + 11 + 1 + 1 + 1 + 1 + 1 + 4
                                     : 1 + 11 + 1 + 1 + 18 + 1 + 1 + 1 + 1 + 1 + 4;
    const std::uint32_t unstuffed = header + 8 * length;
    const std::uint32_t crc = length <= 16 ? 17 + 4 + 6 : 21 + 4 + 7;
    return unstuffed + unstuffed / 4 + crc + kTrailerBits + kIntermissionBits;
}

}  // namespace

std::uint32_t wire_bits(const CanFrame& frame) noexcept {
    return frame.fd ? fd_bits(frame) : classic_bits(frame);
}

std::uint64_t transmission_nanos(const CanFrame& frame, std::uint32_t bitrate) noexcept {
    const std::uint64_t bits = wire_bits(frame);
    return (bits * kNanosPerSecond + bitrate - 1) / bitrate;
}

Wire::Wire(WireTiming timing, std::size_t capacity) : timing_(timing), capacity_(capacity) {
    waiting_.reserve(capacity);
}

bool Wire::offer_from_host(const CanFrame& frame, transport::MonotonicTime sent) {
    return offer(frame, sent.nanos + timing_.adapter_latency_nanos, Origin::Host);
}

bool Wire::offer_from_motor(const CanFrame& frame, transport::MonotonicTime due) {
    return offer(frame, due.nanos + timing_.reaction_nanos, Origin::Motor);
}

bool Wire::offer(const CanFrame& frame, std::uint64_t ready, Origin origin) {
    if (waiting_.size() >= capacity_) {
        return false;
    }
    waiting_.push_back({frame, ready, origin, next_sequence_++});
    return true;
}

std::uint64_t Wire::shortest_transmission_nanos() const noexcept {
    const std::uint64_t bits = 1 + 11 + 3 + 4 + 15 + kTrailerBits + kIntermissionBits;
    return (bits * kNanosPerSecond + timing_.bitrate - 1) / timing_.bitrate;
}

std::optional<Wire::Winner> Wire::winner() const noexcept {
    if (waiting_.empty()) {
        return std::nullopt;
    }
    const auto earliest = std::ranges::min_element(waiting_, {}, &Waiting::ready);
    const std::uint64_t start = std::max(free_at_, earliest->ready);
    // Among the frames ready when the wire frees, the lowest identifier
    // wins: a standard id before an extended one of the same base, as its
    // dominant IDE bit decides; equal ids go in the order offered.
    const auto rank = [](const Waiting& w) {
        const std::uint32_t base =
            w.frame.id.kind == IdKind::Standard ? w.frame.id.value : (w.frame.id.value >> 18);
        return std::tuple(base, w.frame.id.kind == IdKind::Extended, w.frame.id.value, w.sequence);
    };
    std::size_t best = waiting_.size();
    for (std::size_t i = 0; i < waiting_.size(); ++i) {
        if (waiting_[i].ready <= start &&
            (best == waiting_.size() || rank(waiting_[i]) < rank(waiting_[best]))) {
            best = i;
        }
    }
    return Winner{best, start, start + transmission_nanos(waiting_[best].frame, timing_.bitrate)};
}

std::optional<transport::MonotonicTime> Wire::next_motor_end() const noexcept {
    const auto next = winner();
    if (!next) {
        return std::nullopt;
    }
    const bool host = waiting_[next->index].origin == Origin::Host;
    return transport::MonotonicTime{next->end + (host ? shortest_transmission_nanos() : 0)};
}

std::optional<transport::MonotonicTime> Wire::next_end() const noexcept {
    if (const auto next = winner()) {
        return transport::MonotonicTime{next->end};
    }
    return std::nullopt;
}

std::optional<Wire::Transmitted> Wire::start_next(transport::MonotonicTime now) {
    const auto next = winner();
    if (!next || next->end > now.nanos) {
        return std::nullopt;
    }
    const Waiting taken = waiting_[next->index];
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(next->index));
    free_at_ = next->end;
    return Transmitted{taken.frame, transport::MonotonicTime{next->end}, taken.origin};
}

AdapterQueue::AdapterQueue(WireTiming timing, std::size_t capacity)
    : timing_(timing), frames_(capacity) {}

bool AdapterQueue::push(const CanFrame& frame, transport::MonotonicTime left_wire) {
    if (size_ == frames_.size()) {
        return false;
    }
    frames_[(head_ + size_) % frames_.size()] = {frame,
                                                 left_wire.nanos + timing_.adapter_latency_nanos};
    ++size_;
    return true;
}

std::optional<transport::MonotonicTime> AdapterQueue::next_due() const noexcept {
    if (size_ == 0) {
        return std::nullopt;
    }
    const Entry& first = frames_[head_];
    if (!last_sent_) {
        return transport::MonotonicTime{first.due};
    }
    // Not before the wire could have carried it after the one sent last.
    const std::uint64_t paced = *last_sent_ + transmission_nanos(first.frame, timing_.bitrate);
    return transport::MonotonicTime{std::max(first.due, paced)};
}

void AdapterQueue::pop(transport::MonotonicTime sent) noexcept {
    head_ = (head_ + 1) % frames_.size();
    --size_;
    last_sent_ = sent.nanos;
}

}  // namespace axiolink::emulator
