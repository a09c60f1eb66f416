#include "emulator/arrival_clock.hpp"

namespace axiolink::emulator {

void ArrivalClock::calibrate(transport::MonotonicTime before, std::int64_t wall_nanos,
                             transport::MonotonicTime after) noexcept {
    const std::uint64_t width = after.nanos - before.nanos;
    // The middle of the bracket, where the wall reading most likely fell.
    const std::int64_t offset = static_cast<std::int64_t>(before.nanos + width / 2) - wall_nanos;
    const std::uint64_t moved =
        offset_ ? static_cast<std::uint64_t>(offset > *offset_ ? offset - *offset_ : *offset_ - offset)
                : 0;
    const bool set = offset_ && moved > width + width_;
    if (!offset_ || width <= width_ || set) {
        offset_ = offset;
        width_ = width;
    }
    if (set) {
        last_ = 0;
    }
}

std::optional<transport::MonotonicTime> ArrivalClock::map(std::int64_t wall_nanos) noexcept {
    if (!offset_) {
        return std::nullopt;
    }
    const std::int64_t mapped = wall_nanos + *offset_;
    if (mapped < 0 || static_cast<std::uint64_t>(mapped) < last_) {
        return std::nullopt;
    }
    last_ = static_cast<std::uint64_t>(mapped);
    return transport::MonotonicTime{last_};
}

}  // namespace axiolink::emulator
