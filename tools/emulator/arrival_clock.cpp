#include "emulator/arrival_clock.hpp"

namespace axiolink::emulator {

void ArrivalClock::calibrate(transport::MonotonicTime monotonic, std::int64_t wall_nanos) noexcept {
    offset_ = static_cast<std::int64_t>(monotonic.nanos) - wall_nanos;
    last_ = monotonic.nanos;
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
