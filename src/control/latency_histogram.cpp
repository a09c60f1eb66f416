#include "control/latency_histogram.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace axiolink::control {

std::size_t LatencyHistogram::bucket_of(std::uint64_t nanos) noexcept {
    if (nanos < kSub) {
        return static_cast<std::size_t>(nanos);
    }
    const auto top = static_cast<unsigned>(std::bit_width(nanos) - 1);  // >= kSubBits
    const auto sub = static_cast<std::size_t>((nanos >> (top - kSubBits)) & (kSub - 1));
    return kSub + (top - kSubBits) * kSub + sub;
}

std::uint64_t LatencyHistogram::upper_edge(std::size_t bucket) noexcept {
    if (bucket < kSub) {
        return bucket;
    }
    const std::size_t top = (bucket - kSub) / kSub + kSubBits;
    const std::uint64_t sub = (bucket - kSub) % kSub;
    const unsigned shift = static_cast<unsigned>(top - kSubBits);
    // The bucket holds [(kSub + sub) << shift, (kSub + sub + 1) << shift).
    const std::uint64_t next = (kSub + sub + 1) << shift;
    return next == 0 ? ~std::uint64_t{0} : next - 1;
}

void LatencyHistogram::record(std::uint64_t nanos) noexcept {
    auto& cell = counts_[bucket_of(nanos)];
    cell.store(cell.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (nanos > max_.load(std::memory_order_relaxed)) {
        max_.store(nanos, std::memory_order_relaxed);
    }
}

std::uint64_t LatencyHistogram::percentile(double p) const noexcept {
    std::uint64_t total = 0;
    for (const auto& cell : counts_) {
        total += cell.load(std::memory_order_relaxed);
    }
    if (total == 0) {
        return 0;
    }
    const double clamped = std::clamp(p, 0.0, 1.0);
    // The rank of the record asked for, 1-based: at least the first.
    const auto rank = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(clamped * static_cast<double>(total))));
    std::uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
        seen += counts_[bucket].load(std::memory_order_relaxed);
        if (seen >= rank) {
            return std::min(upper_edge(bucket), max());
        }
    }
    return max();
}

}  // namespace axiolink::control
