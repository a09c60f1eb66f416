#include "control/motion_limiter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace axiolink::control {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHuge = std::numeric_limits<double>::max();

// splitmix64: the same stream on every platform and standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31U);
    }
    double uniform(double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(next() >> 11U) * 0x1.0p-53;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
    bool chance(double p) { return uniform(0.0, 1.0) < p; }

private:
    std::uint64_t state_;
};

JointLimiter limiter_at(const MotionLimits& limits, double q, double v = 0.0) {
    auto made = JointLimiter::make(limits);
    EXPECT_TRUE(made.has_value());
    made->reset(q, v);
    return *made;
}

// The three bounds every step keeps, with the tolerance the header gives.
testing::AssertionResult step_within_bounds(const MotionLimits& limits, double dt,
                                            const MotionState& before, const MotionState& after) {
    if (!std::isfinite(after.q) || !std::isfinite(after.v)) {
        return testing::AssertionFailure() << "non-finite state " << after.q << ", " << after.v;
    }
    if (std::abs(after.v) > limits.v_max) {
        return testing::AssertionFailure() << "velocity " << after.v << " beyond " << limits.v_max;
    }
    const double h = limits.a_max * dt;
    if (std::abs(after.v - before.v) > h + kStepTolerance * std::max(std::abs(before.v), h)) {
        return testing::AssertionFailure()
               << "velocity change " << after.v - before.v << " beyond " << h;
    }
    const double drift = (after.q - before.q) - after.v * dt;
    if (std::abs(drift) > kStepTolerance * std::max(std::abs(before.q), std::abs(after.q))) {
        return testing::AssertionFailure()
               << "position moved " << after.q - before.q << " for velocity " << after.v;
    }
    return testing::AssertionSuccess();
}

struct StreamConfig {
    MotionLimits limits;
    double dt;
};

void PrintTo(const StreamConfig& c, std::ostream* os) {
    *os << "v_max " << c.limits.v_max << ", a_max " << c.limits.a_max << ", dt " << c.dt;
}

class MotionLimiterStream : public testing::TestWithParam<StreamConfig> {};

// Random streams of targets in segments: fixed targets (each must be reached
// and then held exactly, without overshoot when the joint starts at rest),
// moving targets with jumps and reversals, sinusoids within and beyond the
// limits, and wild values up to the largest double. Every step keeps the
// bounds; a call with an unusable period changes nothing.
TEST_P(MotionLimiterStream, KeepsBoundsAndSettlesExactly) {
    const StreamConfig config = GetParam();
    const MotionLimits& limits = config.limits;
    const double dt = config.dt;
    const double h = limits.a_max * dt;
    Random random(0x5EED0001ULL);
    JointLimiter joint = limiter_at(limits, 0.3, 3.0 * limits.v_max);
    ASSERT_EQ(joint.state().v, limits.v_max);

    int settled = 0;
    int settled_from_rest = 0;
    long steps = 0;
    const auto advance = [&](double target_q, double target_v) {
        const MotionState before = joint.state();
        const MotionState after = joint.step(target_q, target_v, dt);
        ++steps;
        return std::pair{before, after};
    };

    for (int segment = 0; segment < 120; ++segment) {
        const double q0 = joint.state().q;
        switch (random.below(4)) {
            case 0: {  // fixed targets, one after another, near or a few braking distances away
                const int count = 1 + random.below(3);
                for (int k = 0; k < count; ++k) {
                    const MotionState start = joint.state();
                    const double reach = limits.v_max * limits.v_max / limits.a_max + limits.v_max;
                    double target = start.q + random.uniform(-3.0, 3.0) * reach;
                    if (random.chance(0.2)) {
                        target = start.q + random.uniform(-2.0, 2.0) * h * dt;  // within a step
                    }
                    const bool from_rest = start.v == 0.0;
                    // Stop, come back, travel, brake: generous in steps.
                    const double seconds =
                        std::abs(target - start.q) / limits.v_max +
                        (2.0 * std::abs(start.v) + 2.0 * limits.v_max) / limits.a_max;
                    const long budget = static_cast<long>(seconds / dt) + 10;
                    long arrived_at = -1;
                    for (long i = 0; i < budget + 50; ++i) {
                        const auto [before, after] = advance(target, 0.0);
                        ASSERT_TRUE(step_within_bounds(limits, dt, before, after))
                            << "fixed target " << target << ", step " << i;
                        if (from_rest) {
                            // Moves only towards the target, never past it.
                            ASSERT_LE(std::abs(target - after.q), std::abs(target - before.q));
                            ASSERT_GE((target - after.q) * (target - start.q), 0.0) << "overshoot";
                        }
                        if (arrived_at < 0 && after.q == target && after.v == 0.0) {
                            arrived_at = i;
                        } else if (arrived_at >= 0) {
                            ASSERT_EQ(after.q, target) << "left the target";
                            ASSERT_EQ(after.v, 0.0);
                        }
                    }
                    ASSERT_GE(arrived_at, 0) << "never settled on " << target;
                    ASSERT_LE(arrived_at, budget);
                    ++settled;
                    settled_from_rest += from_rest ? 1 : 0;
                }
                break;
            }
            case 1: {  // a moving target, up to 1.5 v_max, with jumps and reversals
                double p = q0 + random.uniform(-1.0, 1.0);
                double u = random.uniform(-1.5, 1.5) * limits.v_max;
                const int length = 200 + random.below(2000);
                for (int i = 0; i < length; ++i) {
                    if (random.chance(0.005)) {
                        p += random.uniform(-2.0, 2.0);
                    }
                    if (random.chance(0.005)) {
                        u = -u;
                    }
                    p += u * dt;
                    const auto [before, after] = advance(p, random.chance(0.1) ? 0.0 : u);
                    ASSERT_TRUE(step_within_bounds(limits, dt, before, after)) << "moving, " << i;
                }
                break;
            }
            case 2: {  // a sinusoid, its speed and acceleration within or beyond the limits
                const double amplitude = random.uniform(0.01, 2.0);
                const double omega =
                    random.uniform(0.1, 2.0) *
                    std::min(limits.v_max / amplitude, std::sqrt(limits.a_max / amplitude));
                const int length = 200 + random.below(3000);
                for (int i = 1; i <= length; ++i) {
                    const double t = i * dt;
                    const auto [before, after] = advance(q0 + amplitude * std::sin(omega * t),
                                                         amplitude * omega * std::cos(omega * t));
                    ASSERT_TRUE(step_within_bounds(limits, dt, before, after)) << "sine, " << i;
                }
                break;
            }
            default: {  // wild values, and periods that must change nothing
                const double wild[] = {1e300, -1e300, kHuge, -kHuge, 1e12, -1e15, 0.0, 2.5};
                const int length = 50 + random.below(400);
                for (int i = 0; i < length; ++i) {
                    const double target_q =
                        random.chance(0.5) ? wild[random.below(8)] : q0 + random.uniform(-5.0, 5.0);
                    const double target_v =
                        random.chance(0.5) ? wild[random.below(8)] : random.uniform(-2.0, 2.0);
                    if (random.chance(0.05)) {
                        const double odd_dt[] = {0.0, -dt, -kHuge, kNaN, 1e-12};
                        const MotionState before = joint.state();
                        const MotionState after =
                            joint.step(target_q, target_v, odd_dt[random.below(5)]);
                        ASSERT_EQ(after.q, before.q);
                        ASSERT_EQ(after.v, before.v);
                        continue;
                    }
                    const auto [before, after] = advance(target_q, target_v);
                    ASSERT_TRUE(step_within_bounds(limits, dt, before, after))
                        << "wild " << target_q << ", " << target_v;
                }
                break;
            }
        }
    }
    // The stream really exercised what it claims to.
    EXPECT_GE(steps, 100000);
    EXPECT_GE(settled, 30);
    EXPECT_GE(settled_from_rest, 20);
}

INSTANTIATE_TEST_SUITE_P(
    LimitsAndPeriods, MotionLimiterStream,
    testing::Values(StreamConfig{kDefaultMotionLimits, 0.001},  // 1 kHz
                    StreamConfig{kDefaultMotionLimits, 0.005},  // 200 Hz
                    StreamConfig{{30.0, 400.0}, 0.001},         // a fast joint
                    StreamConfig{{0.3, 0.7}, 0.005},            // a slow one
                    StreamConfig{{2.0, 0.5}, 0.001},            // braking takes 4000 steps
                    StreamConfig{{4.0, 1e4}, 0.002}));          // acceleration never binds

// A period that changes from call to call: short ones after long ones are
// what a braking curve for one fixed period gets wrong. Fixed targets, each
// from rest, under random sequences of periods from 0.1 ms to beyond
// kMaxPeriod: the joint never passes the target, keeps every step's bounds,
// and reaches the target and then holds it exactly.
TEST(MotionLimiter, VaryingPeriodsNeverOvershootAndSettleExactly) {
    Random random(0x5EED0003ULL);
    const MotionLimits configs[] = {kDefaultMotionLimits, {30.0, 400.0}, {0.3, 0.7}, {2.0, 0.5}};
    int settled = 0;
    for (const MotionLimits& limits : configs) {
        JointLimiter joint = limiter_at(limits, random.uniform(-1.0, 1.0));
        for (int trial = 0; trial < 60; ++trial) {
            const double start = joint.state().q;
            const double reach = limits.v_max * limits.v_max / limits.a_max + limits.v_max;
            const double target = start + random.uniform(-3.0, 3.0) * reach;
            const int style = random.below(4);
            const double fixed_dt = std::exp(random.uniform(std::log(1e-4), std::log(0.05)));
            const auto next_dt = [&] {
                switch (style) {
                    case 0:  // two periods far apart, at random
                        return random.chance(0.5) ? 1e-4 : 0.05;
                    case 1:  // anything from 0.1 ms to 50 ms, now and then 1 s or more
                        return random.chance(0.02)
                                   ? (random.chance(0.5) ? kMaxPeriod : 2.5)
                                   : std::exp(random.uniform(std::log(1e-4), std::log(0.05)));
                    case 2:  // long runs of one period, then another
                        return random.chance(0.95) ? fixed_dt : 1e-4;
                    default:  // mostly short, sometimes one very long
                        return random.chance(0.01) ? kMaxPeriod : 1e-4;
                }
            };
            double arrived = -1.0;
            double elapsed = 0.0;
            const double seconds = std::abs(target - start) / limits.v_max +
                                   2.0 * limits.v_max / limits.a_max + 3.0 * kMaxPeriod;
            while (elapsed < seconds + 0.5) {
                const double dt = next_dt();
                const double period = std::min(dt, kMaxPeriod);
                const MotionState before = joint.state();
                const MotionState after = joint.step(target, 0.0, dt);
                elapsed += period;
                ASSERT_TRUE(step_within_bounds(limits, period, before, after))
                    << "target " << target << ", dt " << dt << ", trial " << trial;
                ASSERT_GE((target - after.q) * (target - start), 0.0)
                    << "passed " << target << " by " << after.q - target << ", v_max "
                    << limits.v_max << ", trial " << trial;
                if (arrived < 0.0 && after.q == target && after.v == 0.0) {
                    arrived = elapsed;
                } else if (arrived >= 0.0) {
                    ASSERT_EQ(after.q, target) << "left the target";
                    ASSERT_EQ(after.v, 0.0);
                }
            }
            ASSERT_GE(arrived, 0.0) << "never settled on " << target << ", trial " << trial;
            ASSERT_LE(arrived, seconds);
            ++settled;
        }
    }
    EXPECT_EQ(settled, 240);
}

// Random ranges, from narrower than a braking distance to several of them,
// one end sometimes open; the joint starts at rest inside or outside; targets
// fixed inside and beyond the range, or moving through it with their
// velocity, under random sequences of periods. Every commanded position stays
// within the effective range: the real one, widened on a side the joint
// started beyond and narrowing as it moves in. A joint that started outside
// never moves further out, and every fixed target is reached (at the range's
// end when beyond it) and then held exactly.
TEST(MotionLimiter, KeepsTheEffectiveRangeForAnyTargetsAndPeriods) {
    Random random(0x5EED0004ULL);
    const MotionLimits configs[] = {kDefaultMotionLimits, {30.0, 400.0}, {0.3, 0.7}, {2.0, 0.5}};
    long steps = 0;
    int settled = 0;
    for (int trial = 0; trial < 160; ++trial) {
        MotionLimits limits = configs[random.below(4)];
        const double braking = limits.v_max * limits.v_max / (2.0 * limits.a_max);
        const double width = braking * std::exp(random.uniform(std::log(0.01), std::log(5.0)));
        const double middle = random.uniform(-2.0, 2.0);
        limits.q_min = random.chance(0.15) ? -kInf : middle - 0.5 * width;
        limits.q_max = random.chance(0.15) ? kInf : middle + 0.5 * width;
        const double start = middle + random.uniform(-1.0, 1.0) * (random.chance(0.3) ? 3.0 : 0.5) *
                                          (width + braking);
        JointLimiter joint = limiter_at(limits, start);
        double low = std::min(limits.q_min, start);
        double high = std::max(limits.q_max, start);
        const double fixed_dt = std::exp(random.uniform(std::log(1e-4), std::log(0.02)));
        const int period_style = random.below(3);
        const auto next_dt = [&] {
            switch (period_style) {
                case 0:
                    return fixed_dt;
                case 1:
                    return random.chance(0.5) ? 1e-4 : 0.05;
                default:
                    return random.chance(0.01)
                               ? kMaxPeriod
                               : std::exp(random.uniform(std::log(1e-4), std::log(0.05)));
            }
        };
        const auto advance = [&](double target_q, double target_v) {
            const double dt = next_dt();
            const double period = std::min(dt, kMaxPeriod);
            const MotionState before = joint.state();
            const MotionState after = joint.step(target_q, target_v, dt);
            ++steps;
            EXPECT_TRUE(step_within_bounds(limits, period, before, after)) << "trial " << trial;
            EXPECT_GE(after.q, low) << "trial " << trial << ", target " << target_q;
            EXPECT_LE(after.q, high) << "trial " << trial << ", target " << target_q;
            low = std::max(low, std::min(after.q, limits.q_min));
            high = std::min(high, std::max(after.q, limits.q_max));
            EXPECT_EQ(joint.effective_q_min(), low);
            EXPECT_EQ(joint.effective_q_max(), high);
            return period;
        };
        for (int segment = 0; segment < 6 && !testing::Test::HasFailure(); ++segment) {
            if (random.chance(0.5)) {  // a fixed target, inside or beyond the range
                const double target = middle + random.uniform(-1.0, 1.0) *
                                                   (random.chance(0.5) ? 0.5 : 3.0) *
                                                   (width + braking);
                const double seconds =
                    (std::abs(target - joint.state().q) + 2.0 * braking) / limits.v_max +
                    2.0 * limits.v_max / limits.a_max + 3.0 * kMaxPeriod;
                double elapsed = 0.0;
                while (elapsed < seconds && !testing::Test::HasFailure()) {
                    // Beyond the range, with a velocity outwards now and then:
                    // it must not carry the joint past the end either.
                    const double outward = target > high ? 1.0 : (target < low ? -1.0 : 0.0);
                    elapsed +=
                        advance(target, random.chance(0.5) ? outward * 2.0 * limits.v_max : 0.0);
                }
                ASSERT_EQ(joint.state().q, std::clamp(target, low, high)) << "trial " << trial;
                ASSERT_EQ(joint.state().v, 0.0) << "trial " << trial;
                ++settled;
            } else {  // a sinusoid through the range and beyond, with its velocity
                const double amplitude = random.uniform(0.2, 2.0) * (width + braking);
                const double omega = random.uniform(0.2, 3.0) * limits.v_max / amplitude;
                double t = 0.0;
                for (int i = 0; i < 1500 && !testing::Test::HasFailure(); ++i) {
                    t += advance(middle + amplitude * std::sin(omega * t),
                                 amplitude * omega * std::cos(omega * t));
                }
            }
        }
        ASSERT_FALSE(testing::Test::HasFailure()) << "trial " << trial;
    }
    EXPECT_GE(steps, 100000);
    EXPECT_GE(settled, 50);
}

// Reset at a speed that cannot stop before the end of the range (inside it,
// or outside and moving further out): the joint brakes at a_max from the
// first step, passes the end by no more than it travels while braking, and
// the end follows it; a target inside then brings it back, and the end
// tightens to the real limit again.
TEST(MotionLimiter, BrakesAtOnceFromAResetSpeedThatCannotStopInTime) {
    const double dt = 0.001;
    const MotionLimits limits{1.0, 5.0, -1.0, 1.0};
    for (const auto& [q0, v0] : std::vector<std::pair<double, double>>{
             {0.99, 1.0}, {0.95, 0.8}, {-0.98, -1.0}, {1.2, 0.5}, {-1.5, -1.0}}) {
        JointLimiter joint = limiter_at(limits, q0, v0);
        const double side = v0 > 0.0 ? 1.0 : -1.0;
        double furthest = q0;
        for (int i = 0; i < 400; ++i) {
            const MotionState before = joint.state();
            const MotionState after = joint.step(side * 5.0, 0.0, dt);
            if (before.v != 0.0) {
                ASSERT_NEAR(std::abs(before.v) - std::abs(after.v),
                            std::min(5.0 * dt, std::abs(before.v)), 1e-12)
                    << q0 << ", " << v0 << ", step " << i;
            }
            ASSERT_GE(side * (after.q - furthest), -1e-15 * std::abs(after.q)) << "moved back";
            furthest = after.q;
            ASSERT_EQ(side * (side > 0.0 ? joint.effective_q_max() : joint.effective_q_min()),
                      std::max(side * after.q, 1.0));
        }
        EXPECT_EQ(joint.state().v, 0.0);
        EXPECT_LE(side * (furthest - q0), v0 * v0 / 10.0 + std::abs(v0) * dt);
        for (int i = 0; i < 3000; ++i) {
            joint.step(0.0, 0.0, dt);
        }
        EXPECT_EQ(joint.state().q, 0.0) << q0 << ", " << v0;
        EXPECT_EQ(joint.effective_q_max(), 1.0);
        EXPECT_EQ(joint.effective_q_min(), -1.0);
    }
}

// At the corners of the accepted limits and periods, wild and moving targets
// still give finite states within the bounds.
TEST(MotionLimiter, KeepsBoundsAtExtremeLimitsAndPeriods) {
    Random random(0x5EED0002ULL);
    for (const double v_max : {kMinMotionLimit, 1.0, kMaxVelocityLimit}) {
        for (const double a_max : {kMinMotionLimit, 1.0, kMaxAccelerationLimit}) {
            for (const double dt : {kMinPeriod, 0.001, kMaxPeriod}) {
                const MotionLimits limits{v_max, a_max};
                JointLimiter joint = limiter_at(limits, random.uniform(-10.0, 10.0));
                double p = 0.0;
                for (int i = 0; i < 3000; ++i) {
                    const double wild[] = {1e300, -1e300, kHuge, -kHuge, 1e-300, 0.0};
                    const double target_q = random.chance(0.3)
                                                ? wild[random.below(6)]
                                                : (p += random.uniform(-1.0, 1.0) * v_max * dt);
                    const double target_v = random.chance(0.3) ? wild[random.below(6)]
                                                               : random.uniform(-1.5, 1.5) * v_max;
                    const MotionState before = joint.state();
                    const MotionState after = joint.step(target_q, target_v, dt);
                    ASSERT_TRUE(step_within_bounds(limits, dt, before, after))
                        << "v_max " << v_max << ", a_max " << a_max << ", dt " << dt;
                }
            }
        }
    }
}

struct RestToRest {
    MotionLimits limits;
    double dt;
    double distance;
};

void PrintTo(const RestToRest& c, std::ostream* os) {
    *os << c.distance << " rad at v_max " << c.limits.v_max << ", a_max " << c.limits.a_max
        << ", dt " << c.dt;
}

class MotionLimiterRestToRest : public testing::TestWithParam<RestToRest> {};

// Against the continuous-time minimum: a trapezoid d / v + v / a when the move
// is long enough to cruise (d >= v^2 / a), else a triangle 2 sqrt(d / a)
// peaking at sqrt(a d). The discrete motion can be no faster, comes within a
// millionth of the distance three periods later at most, and lands on the
// target at rest within eight: since a later period may be as short as
// kMinPeriod, the last approach closes the sub-micrometre rest at velocities
// any period can stop, each step leaving about the square of the distance.
TEST_P(MotionLimiterRestToRest, TakesMinimumTimeAndPeakSpeed) {
    const auto [limits, dt, distance] = GetParam();
    const double v = limits.v_max;
    const double a = limits.a_max;
    const double d = std::abs(distance);
    const bool cruises = d >= v * v / a;
    const double minimum_time = cruises ? d / v + v / a : 2.0 * std::sqrt(d / a);
    const double start = 0.25;
    const double target = start + distance;
    JointLimiter joint = limiter_at(limits, start);

    long steps = 0;
    long close_steps = -1;
    double peak = 0.0;
    while (!(joint.state().q == target && joint.state().v == 0.0) && steps < 1000000) {
        joint.step(target, 0.0, dt);
        peak = std::max(peak, std::abs(joint.state().v));
        ++steps;
        if (close_steps < 0 && std::abs(target - joint.state().q) <= 1e-6 * d) {
            close_steps = steps;
        }
    }
    const double duration = static_cast<double>(steps) * dt;
    EXPECT_GE(static_cast<double>(close_steps) * dt, minimum_time - 1e-9);
    EXPECT_LE(static_cast<double>(close_steps) * dt, minimum_time + 3.0 * dt + 1e-9);
    EXPECT_LE(duration, minimum_time + 8.0 * dt + 1e-9);
    if (d >= v * v / a + v * dt) {  // cruises for at least one step
        EXPECT_EQ(peak, v);
    } else {
        EXPECT_NEAR(peak, std::min(std::sqrt(a * d), v), a * dt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    TrapezoidsAndTriangles, MotionLimiterRestToRest,
    testing::Values(RestToRest{kDefaultMotionLimits, 0.001, 1.0},  // cruises 0.8 s
                    RestToRest{kDefaultMotionLimits, 0.005, -2.71828},
                    RestToRest{kDefaultMotionLimits, 0.001, 0.2},       // just reaches v_max
                    RestToRest{kDefaultMotionLimits, 0.001, 0.123456},  // triangle
                    RestToRest{kDefaultMotionLimits, 0.005, -0.0371},
                    RestToRest{{30.0, 400.0}, 0.001, 6.0}, RestToRest{{30.0, 400.0}, 0.002, -0.5},
                    RestToRest{{0.3, 0.7}, 0.005, 0.0004}));  // a handful of steps

struct Tracking {
    const char* name;
    double start_q;                // the joint starts here, at rest
    double (*position)(double t);  // the target
    double (*velocity)(double t);
    double catch_up;  // seconds after the start, or after a jump, to take up the target
    double jump_at;   // from then on the target is ...
    double (*jumped_position)(double t);  // ... this one instead
    double (*jumped_velocity)(double t);
};

void PrintTo(const Tracking& c, std::ostream* os) {
    *os << c.name;
}

class MotionLimiterTracking : public testing::TestWithParam<Tracking> {};

// Default limits (1 rad/s, 5 rad/s^2) at 1 kHz for 8 s. Within the limits, the
// joint takes up the target (also after a jump) and then follows it exactly,
// landing on each position the target passes; every step keeps the bounds.
TEST_P(MotionLimiterTracking, CatchesUpAndFollowsWithoutLag) {
    const Tracking& c = GetParam();
    const double dt = 0.001;
    JointLimiter joint = limiter_at(kDefaultMotionLimits, c.start_q);
    double worst_after_catch_up = 0.0;
    for (int i = 1; i <= 8000; ++i) {
        const double t = i * dt;
        const bool jumped = t >= c.jump_at;
        const double p = jumped ? c.jumped_position(t) : c.position(t);
        const double u = jumped ? c.jumped_velocity(t) : c.velocity(t);
        const MotionState before = joint.state();
        const MotionState after = joint.step(p, u, dt);
        ASSERT_TRUE(step_within_bounds(kDefaultMotionLimits, dt, before, after)) << "t " << t;
        if ((jumped ? t - c.jump_at : t) >= c.catch_up) {
            worst_after_catch_up = std::max(worst_after_catch_up, std::abs(p - after.q));
        }
    }
    EXPECT_EQ(worst_after_catch_up, 0.0);
}

constexpr double kNever = 1e9;

INSTANTIATE_TEST_SUITE_P(
    MovingTargets, MotionLimiterTracking,
    testing::Values(
        // Closing at 0.2 rad/s at most: about 2.7 s for 0.5 rad.
        Tracking{"ConstantVelocityAhead", 0.0, [](double s) { return 0.5 + 0.8 * s; },
                 [](double) { return 0.8; }, 3.5, kNever, nullptr, nullptr},
        Tracking{"ConstantVelocityAheadNegative", 0.0, [](double s) { return -0.5 - 0.6 * s; },
                 [](double) { return -0.6; }, 2.0, kNever, nullptr, nullptr},
        // Speed 0.8 rad/s, acceleration 1.28 rad/s^2 at most.
        Tracking{"Sinusoid", 0.0, [](double s) { return 0.5 * std::sin(1.6 * s); },
                 [](double s) { return 0.8 * std::cos(1.6 * s); }, 1.0, kNever, nullptr, nullptr},
        // Moving at +0.5 rad/s, it jumps back 1 rad and runs the other way: the
        // joint stops, reverses and closes in at 0.5 rad/s.
        Tracking{"JumpAndReverseMidMotion", 0.0, [](double s) { return 0.5 * s; },
                 [](double) { return 0.5; }, 3.0, 2.0,
                 [](double s) { return 0.0 - 0.5 * (s - 2.0); }, [](double) { return -0.5; }}));

struct LimitsCase {
    MotionLimits limits;
    const char* message;  // nullptr: accepted
};

void PrintTo(const LimitsCase& c, std::ostream* os) {
    *os << "v_max " << c.limits.v_max << ", a_max " << c.limits.a_max << ", q " << c.limits.q_min
        << " to " << c.limits.q_max;
}

class MotionLimiterLimits : public testing::TestWithParam<LimitsCase> {};

TEST_P(MotionLimiterLimits, RefusesOutOfRangeLimitsWithText) {
    const auto [limits, message] = GetParam();
    const auto made = JointLimiter::make(limits);
    const auto checked = check_motion_limits(limits);
    if (message == nullptr) {
        ASSERT_TRUE(made.has_value()) << made.error().message();
        EXPECT_FALSE(checked.has_value());
        EXPECT_EQ(made->limits().v_max, limits.v_max);
        EXPECT_EQ(made->limits().a_max, limits.a_max);
        EXPECT_EQ(made->limits().q_min, limits.q_min);
        EXPECT_EQ(made->limits().q_max, limits.q_max);
    } else {
        ASSERT_FALSE(made.has_value());
        EXPECT_EQ(made.error().message(), message);
        ASSERT_TRUE(checked.has_value());
        EXPECT_EQ(checked->message(), message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, MotionLimiterLimits,
    testing::Values(
        LimitsCase{{1.0, 5.0}, nullptr}, LimitsCase{{1e-6, 1e-6}, nullptr},
        LimitsCase{{1e6, 1e9}, nullptr},
        LimitsCase{{0.0, 5.0}, "invalid motion limit: v_max is 0, must be within [1e-06, 1e+06]"},
        LimitsCase{{-1.0, -1.0},
                   "invalid motion limit: v_max is -1, must be within [1e-06, 1e+06]"},
        LimitsCase{{kNaN, 5.0},
                   "invalid motion limit: v_max is nan, must be within [1e-06, 1e+06]"},
        LimitsCase{{kInf, 5.0},
                   "invalid motion limit: v_max is inf, must be within [1e-06, 1e+06]"},
        LimitsCase{{2e6, 5.0},
                   "invalid motion limit: v_max is 2e+06, must be within [1e-06, 1e+06]"},
        LimitsCase{{5e-7, 5.0},
                   "invalid motion limit: v_max is 5e-07, must be within [1e-06, 1e+06]"},
        LimitsCase{{1.0, 2e9},
                   "invalid motion limit: a_max is 2e+09, must be within [1e-06, 1e+09]"},
        LimitsCase{{1.0, 0.0}, "invalid motion limit: a_max is 0, must be within [1e-06, 1e+09]"},
        LimitsCase{{1.0, 5e-7},
                   "invalid motion limit: a_max is 5e-07, must be within [1e-06, 1e+09]"},
        LimitsCase{{1.0, -kInf},
                   "invalid motion limit: a_max is -inf, must be within [1e-06, 1e+09]"},
        LimitsCase{{1.0, kNaN},
                   "invalid motion limit: a_max is nan, must be within [1e-06, 1e+09]"},
        // The range: either end may be infinite, q_min must be below q_max.
        LimitsCase{{1.0, 5.0, -0.5, 2.0}, nullptr}, LimitsCase{{1.0, 5.0, -kInf, -3.0}, nullptr},
        LimitsCase{{1.0, 5.0, 1e300, kInf}, nullptr},
        LimitsCase{{1.0, 5.0, kNaN, 1.0}, "invalid motion limit: q_min is nan, must be a number"},
        LimitsCase{{1.0, 5.0, 0.0, kNaN}, "invalid motion limit: q_max is nan, must be a number"},
        LimitsCase{{1.0, 5.0, 1.0, 0.0}, "invalid motion limit: q_min 1 is not below q_max 0"},
        LimitsCase{{1.0, 5.0, 0.25, 0.25},
                   "invalid motion limit: q_min 0.25 is not below q_max 0.25"},
        LimitsCase{{1.0, 5.0, kInf, kInf},
                   "invalid motion limit: q_min inf is not below q_max inf"},
        LimitsCase{{1.0, 5.0, -kInf, -kInf},
                   "invalid motion limit: q_min -inf is not below q_max -inf"},
        LimitsCase{{0.0, 5.0, 1.0, 0.0},  // the first fault in field order
                   "invalid motion limit: v_max is 0, must be within [1e-06, 1e+06]"}));

// Inputs a loop should never pass, each answered by a safe motion.
TEST(MotionLimiter, OddInputsMoveNothingOrComeToRest) {
    const double dt = 0.001;
    // A period above one second counts as one second: from rest, h = 5 rad/s
    // exceeds v_max, so one step moves 1 rad at 1 rad/s, not 10 rad.
    JointLimiter joint = limiter_at(kDefaultMotionLimits, 0.0);
    EXPECT_EQ(joint.step(100.0, 0.0, 10.0).q, 1.0);
    EXPECT_EQ(joint.state().v, 1.0);

    // A non-finite target or target velocity: brake to rest where it is.
    for (const auto& [target_q, target_v] :
         std::vector<std::pair<double, double>>{{kNaN, 0.0}, {kInf, 0.0}, {0.0, kNaN}}) {
        joint = limiter_at(kDefaultMotionLimits, 0.0, 0.5);
        for (int i = 0; i < 1000; ++i) {
            const MotionState before = joint.state();
            ASSERT_TRUE(step_within_bounds(kDefaultMotionLimits, dt, before,
                                           joint.step(target_q, target_v, dt)));
        }
        EXPECT_EQ(joint.state().v, 0.0) << target_q << ", " << target_v;
        EXPECT_LE(joint.state().q, 0.03) << target_q << ", " << target_v;  // 0.5^2 / (2 * 5)
    }

    // Positions at the edge of the double range stay finite.
    joint = limiter_at(kDefaultMotionLimits, kHuge);
    const MotionState far = joint.step(-kHuge, kHuge, dt);
    EXPECT_TRUE(std::isfinite(far.q) && std::isfinite(far.v));
}

// A target within this step's reach at exactly the fastest velocity the step
// allows is still landed on exactly, not approached for one more step: a
// moving one at this step's whole velocity change, and a fixed one beyond an
// end of the range whose end lies exactly h_min * T away.
TEST(MotionLimiter, LandsOnATargetReachedAtExactlyTheFastestVelocityAllowed) {
    const double dt = 0x1p-10;  // powers of two: every product below is exact
    const double h_min = 4.0 * kMinPeriod;
    const struct {
        const char* name;
        MotionLimits limits;
        double target_q, target_v;
        MotionState landed;
    } cases[] = {
        {"moving", {1.0, 4.0, -kInf, kInf}, 0x1p-18, 0x1p-20, {0x1p-18, 0x1p-8}},
        {"range end", {1.0, 4.0, -1.0, h_min * dt}, 1.0, 0.0, {h_min * dt, h_min}},
    };
    for (const auto& c : cases) {
        JointLimiter joint = limiter_at(c.limits, 0.0);
        const MotionState after = joint.step(c.target_q, c.target_v, dt);
        EXPECT_EQ(after.q, c.landed.q) << c.name;
        EXPECT_EQ(after.v, c.landed.v) << c.name;
    }
}

}  // namespace
}  // namespace axiolink::control
