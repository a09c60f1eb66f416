#pragma once
// A value handed from one thread to another without either ever waiting for
// the other: the writer fills a slot of its own and publishes it, the reader
// takes the latest published slot when there is a newer one. Three slots,
// so that a slot being written, one being read and the latest published are
// always distinct.
//
// One writer and one reader at a time (callers with several writers or
// readers serialise among themselves, never with the other side). T is
// built once, up front: nothing here allocates.

#include <array>
#include <atomic>
#include <cstdint>

namespace axiolink::control {

template <class T>
class TripleBuffer {
public:
    TripleBuffer() = default;
    explicit TripleBuffer(const T& initial) : slots_{initial, initial, initial} {}

    // The writer's slot: fill it, then publish it.
    T& writing() noexcept { return slots_[back_]; }
    // Makes the writer's slot the latest; the writer gets a free slot back.
    void publish() noexcept {
        back_ = middle_.exchange(static_cast<std::uint8_t>(back_ | kFresh),
                                 std::memory_order_acq_rel) &
                kIndex;
    }

    // Takes the latest published slot when it is newer than the one read
    // before; true then. Either way reading() is the newest the reader has.
    bool take() noexcept {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) {
            return false;
        }
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        return true;
    }
    const T& reading() const noexcept { return slots_[front_]; }
    T& reading() noexcept { return slots_[front_]; }

private:
    static constexpr std::uint8_t kIndex = 0x3;
    static constexpr std::uint8_t kFresh = 0x4;

    std::array<T, 3> slots_{};
    std::atomic<std::uint8_t> middle_{1};
    std::uint8_t back_ = 0;   // the writer's
    std::uint8_t front_ = 2;  // the reader's
};

}  // namespace axiolink::control
