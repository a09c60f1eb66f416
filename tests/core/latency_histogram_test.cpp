#include "control/latency_histogram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace axiolink::control {
namespace {

constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();

// The largest value that shares a bucket with `v`: below 32 each value is its
// own bucket; above, a power of two is cut into 32 equal parts, so the part
// holding v is v with its bits below the part's width set.
std::uint64_t bucket_top(std::uint64_t v) {
    if (v < 32) {
        return v;
    }
    const std::uint64_t width = std::bit_floor(v) / 32;
    return v | (width - 1);
}

// splitmix64: the same stream on every platform.
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
}

TEST(LatencyHistogram, EmptyGivesZero) {
    const LatencyHistogram histogram;
    for (const double p : {0.0, 0.5, 0.999, 1.0}) {
        EXPECT_EQ(histogram.percentile(p), 0U) << p;
    }
    EXPECT_EQ(histogram.count(), 0U);
    EXPECT_EQ(histogram.max(), 0U);
}

TEST(LatencyHistogram, ValuesBelow32AreExact) {
    LatencyHistogram histogram;
    for (std::uint64_t v = 31;; --v) {  // largest first: max() must not follow the last
        histogram.record(v);
        if (v == 0) {
            break;
        }
    }
    EXPECT_EQ(histogram.count(), 32U);
    EXPECT_EQ(histogram.max(), 31U);
    EXPECT_EQ(histogram.percentile(0.0), 0U);
    for (std::uint64_t k = 1; k <= 32; ++k) {
        EXPECT_EQ(histogram.percentile(static_cast<double>(k) / 32.0), k - 1) << k;
    }
}

TEST(LatencyHistogram, AValueReadsAsItsBucketsUpperEdge) {
    struct Case {
        std::uint64_t value;
        std::uint64_t edge;
    };
    const Case cases[] = {
        {32, 32},
        {63, 63},
        {64, 65},
        {65, 65},
        {100, 101},
        {1000, 1007},
        {1008, 1023},
        {1'000'000, 1'015'807},
        {123'456'789, 123'731'967},
        {0x8000'0000'0000'0005, 0x83FF'FFFF'FFFF'FFFF},
        {0xFBFF'FFFF'FFFF'FFFF, 0xFBFF'FFFF'FFFF'FFFF},
        {0xFC00'0000'0000'0000, kTop},  // the last bucket: its edge is the largest value
    };
    for (const auto& c : cases) {
        LatencyHistogram histogram;
        histogram.record(kTop);
        histogram.record(c.value);
        // Two records: the first of them is the median.
        EXPECT_EQ(histogram.percentile(0.5), c.edge) << c.value;
        EXPECT_EQ(histogram.percentile(0.0), c.edge) << c.value;
        EXPECT_EQ(histogram.percentile(1.0), kTop) << c.value;
    }
}

TEST(LatencyHistogram, NeverAboveTheLargestRecorded) {
    for (const std::uint64_t v : {std::uint64_t{70}, std::uint64_t{1000}, std::uint64_t{1'000'000},
                                  std::uint64_t{0x8000'0000'0000'0005}, kTop - 1}) {
        LatencyHistogram histogram;
        histogram.record(v);
        histogram.record(v);
        EXPECT_EQ(histogram.max(), v);
        for (const double p : {0.0, 0.5, 1.0}) {
            EXPECT_EQ(histogram.percentile(p), v) << v << " at " << p;
        }
    }
}

// The nearest rank: the smallest record with at least a fraction p of all at
// or below it, and never less than the first.
TEST(LatencyHistogram, RankRounding) {
    struct Case {
        std::uint64_t count;
        double p;
        std::uint64_t rank;
    };
    const Case cases[] = {
        {1, 0.5, 1},       {1, 0.99, 1},        {1, 0.999, 1},     {2, 0.5, 1},
        {2, 0.99, 2},      {2, 0.999, 2},       {1000, 0.0, 1},    {1000, 0.5, 500},
        {1000, 0.99, 990}, {1000, 0.999, 999},  {1000, 1.0, 1000}, {1001, 0.5, 501},
        {1001, 0.99, 991}, {1001, 0.999, 1000}, {1001, -0.5, 1},   {1001, 1.5, 1001},
    };
    for (const auto& c : cases) {
        // `lows` records of 10 and the rest 20: the asked rank reads 10 when
        // it falls among the lows, 20 when the first 20 is the asked one.
        for (const std::uint64_t lows : {c.rank, c.rank - 1}) {
            LatencyHistogram histogram;
            for (std::uint64_t i = 0; i < c.count; ++i) {
                histogram.record(i < lows ? 10 : 20);
            }
            EXPECT_EQ(histogram.percentile(c.p), lows == c.rank ? 10U : 20U)
                << c.count << " records, p " << c.p << ", " << lows << " of them low";
        }
    }
}

TEST(LatencyHistogram, RandomDataWithinABucketAboveTheTrueValue) {
    std::uint64_t state = 42;
    std::vector<std::uint64_t> values;
    LatencyHistogram histogram;
    for (int i = 0; i < 2000; ++i) {
        // Every magnitude from single nanoseconds to 2^64.
        const std::uint64_t v = next_random(state) >> (next_random(state) % 64);
        values.push_back(v);
        histogram.record(v);
    }
    std::ranges::sort(values);
    ASSERT_EQ(histogram.count(), values.size());
    ASSERT_EQ(histogram.max(), values.back());
    // Nearest ranks of 2000 records, written out.
    const std::pair<double, std::size_t> asked[] = {{0.0, 1},      {0.001, 2},     {0.1, 200},
                                                    {0.5, 1000},   {0.9, 1800},    {0.99, 1980},
                                                    {0.999, 1998}, {0.9999, 2000}, {1.0, 2000}};
    for (const auto& [p, rank] : asked) {
        const std::uint64_t truth = values[rank - 1];
        const std::uint64_t got = histogram.percentile(p);
        EXPECT_GE(got, truth) << p;
        EXPECT_LE(got, values.back()) << p;
        EXPECT_LE(got - truth, truth / 32) << p;
        EXPECT_EQ(got, std::min(bucket_top(truth), values.back())) << p;
    }
}

}  // namespace
}  // namespace axiolink::control
