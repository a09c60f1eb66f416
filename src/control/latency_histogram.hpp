#pragma once
// Durations in nanoseconds, counted into buckets of about 3 % width, for
// percentiles a loop can keep without allocating or locking: one thread
// records, any thread reads (the counts are relaxed atomics, so a reader may
// see a record half-way, never a torn count).

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace axiolink::control {

class LatencyHistogram {
public:
    // The one recording thread.
    void record(std::uint64_t nanos) noexcept;

    // Counted so far.
    std::uint64_t count() const noexcept { return count_.load(std::memory_order_relaxed); }
    // The largest recorded, exactly.
    std::uint64_t max() const noexcept { return max_.load(std::memory_order_relaxed); }
    // The duration below which a fraction `p` (0 to 1) of the records lie:
    // the upper edge of the bucket holding it, so never below the true
    // value, and at most about 3 % above it (and never above max()). Zero
    // when nothing was recorded.
    std::uint64_t percentile(double p) const noexcept;

private:
    // Values below 32 ns have a bucket each; above, every power of two is
    // split into 32 buckets.
    static constexpr unsigned kSubBits = 5;
    static constexpr std::size_t kSub = std::size_t{1} << kSubBits;
    static constexpr std::size_t kBuckets = kSub + (64 - kSubBits) * kSub;

    static std::size_t bucket_of(std::uint64_t nanos) noexcept;
    static std::uint64_t upper_edge(std::size_t bucket) noexcept;

    std::array<std::atomic<std::uint32_t>, kBuckets> counts_{};
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::uint64_t> max_{0};
};

}  // namespace axiolink::control
