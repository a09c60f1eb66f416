#include "emulator/arrival_clock.hpp"

#include <algorithm>

namespace axiolink::emulator {
namespace {

// Both clocks come from one time keeper, but each reading is rounded on its
// own: brackets that miss each other by this little still overlap.
constexpr std::int64_t kReadingSlackNanos = 1'000;

}  // namespace

void ArrivalClock::calibrate(transport::MonotonicTime before, std::int64_t wall_nanos,
                             transport::MonotonicTime after) noexcept {
    const Bracket measured{static_cast<std::int64_t>(before.nanos) - wall_nanos,
                           static_cast<std::int64_t>(after.nanos) - wall_nanos};
    const bool set = known_ && (measured.low > known_->high + kReadingSlackNanos ||
                                measured.high < known_->low - kReadingSlackNanos);
    if (!known_ || set) {
        known_ = measured;
        applied_ = measured.high;
        last_wall_.reset();
        return;
    }
    known_->low = std::max(known_->low, measured.low);
    known_->high = std::max(known_->low, std::min(known_->high, measured.high));
}

void ArrivalClock::refine() noexcept {
    if (known_) {
        applied_ = known_->high;
    }
}

std::optional<transport::MonotonicTime> ArrivalClock::map(std::int64_t wall_nanos) noexcept {
    if (!known_) {
        return std::nullopt;
    }
    const std::int64_t mapped = wall_nanos + applied_;
    if (mapped < 0 || (last_wall_ && wall_nanos < *last_wall_)) {
        return std::nullopt;
    }
    last_wall_ = wall_nanos;
    return transport::MonotonicTime{static_cast<std::uint64_t>(mapped)};
}

transport::MonotonicTime ArrivalClock::latest() const noexcept {
    if (!last_wall_) {
        return transport::MonotonicTime{0};
    }
    return transport::MonotonicTime{
        static_cast<std::uint64_t>(std::max<std::int64_t>(*last_wall_ + applied_, 0))};
}

}  // namespace axiolink::emulator
