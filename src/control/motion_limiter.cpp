#include "control/motion_limiter.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

// The scheme. Each step picks the new velocity v' first and then moves the
// position by exactly that velocity over the period T:
//
//     v' in [max(v - h, -v_max), min(v + h, v_max)],   h = a_max * T
//     q' = q + v' * T
//
// Both bounds are a clamp of one number into one interval, and the interval
// is never empty because |v| <= v_max holds before every step, so they hold
// by construction whatever the target does; |q' - q| <= v_max * T follows
// from the position rule. The velocity sent with the position is the one
// that produced it, so the motor's velocity term agrees with the motion.
//
// Which v' to pick is a braking question asked in the target's frame. The
// target is taken to keep its velocity u, so with E = target - q - u * T the
// distance still available after this step is d' = E - w' * T, w' = v' - u.
// The period of the next step is not known: a caller may pass any sequence
// of periods. The state after each step therefore keeps
//
//     w'^2 <= 2 * a_max * d'                                        (K)
//
// which any sequence of periods preserves: braking by h'' = a_max * T'' in
// the next step gives w'' = w' - h'' with w''^2 + 2 * h'' * w'' = w'^2 - h''^2
// <= 2 * a_max * d' - h''^2, so (K) holds again with room h''^2 to spare, and
// the joint can always stop before d runs out. The fastest w' that keeps (K)
// is the positive root of w'^2 + 2 * h * w' = 2 * a_max * E. A braking curve
// built for the discrete steps of the current period, S(w) = T * (w + (w - h)
// + ...), would reach about w * T / 2 further: right while every later
// period is the same, an overshoot as soon as shorter ones follow.
//
// (K) allows no velocity at all at the target itself, so the last step onto
// a fixed target would never come. It lands there when the velocity it needs,
// E / T, is at most h_min = a_max * kMinPeriod: the next step, however short,
// can then stop the joint. The approach before it converges quadratically
// (each step leaves about the square of the distance, in units of
// a_max * T^2 / 2), so at a constant period a fixed target is reached a few
// periods after the discrete-curve optimum, the last of them over a
// sub-micrometre distance. A moving target (u != 0) is different: its next
// sample is not known either, and following it without lag needs landing on
// it whenever its velocity can be matched within this step's h, as before.
// Once there, a target at rest is held with v' = 0 and q' = q, bit for bit.
//
// Rounding: every rounding that could eat into (K) goes the safe way. h is
// rounded up, the velocity interval outwards (both within the stated
// tolerance), and the position moves by v' * T rounded towards q, so a
// joint never travels further than its velocity says. The root of the curve
// is taken a few units in the last place short of E, which covers the
// rounding of that root and of E itself; both are relative to E and vanish as
// the joint arrives. Full-rate braking, where nothing else absorbs anything,
// keeps the h''^2 of room above.

namespace axiolink::control {
namespace {

// Further than this, a target only sets the direction: the braking distance
// of a real joint is many orders of magnitude shorter, and bounding it keeps
// the distance finite even where `target - q` overflows.
constexpr double kTargetReach = 1e12;

// The root of the braking curve is taken this fraction of E short of it: a
// few times the relative rounding of E and of the root's arithmetic.
constexpr double kCurveMargin = 32.0 * std::numeric_limits<double>::epsilon();

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// a * b, rounded up: the velocity change a step may make, never less than
// a_max allows, so braking at that rate keeps the room (K) counts on.
double product_up(double a, double b) noexcept {
    const double p = a * b;
    return std::fma(a, b, -p) > 0.0 ? std::nextafter(p, kInfinity) : p;
}

// x + y, rounded down (towards -infinity), from the exact error of the sum.
double sum_down(double x, double y) noexcept {
    const double s = x + y;
    const double z = s - x;
    const double low = (x - (s - z)) + (y - z);
    return low < 0.0 ? std::nextafter(s, -kInfinity) : s;
}

double sum_up(double x, double y) noexcept {
    return -sum_down(-x, -y);
}

// q + v * period, rounded towards q: the position never gets further than
// the velocity takes it, so no rounding brings a bound ahead closer.
double advance(double q, double v, double period) noexcept {
    const double x = v * period;
    const double x_low = std::fma(v, period, -x);
    const double s = q + x;
    const double z = s - q;
    const double low = ((q - (s - z)) + (x - z)) + x_low;  // q + v * period - s
    if (v > 0.0 && low < 0.0) {
        return std::nextafter(s, -kInfinity);
    }
    if (v < 0.0 && low > 0.0) {
        return std::nextafter(s, kInfinity);
    }
    return s;
}

// The fastest w >= 0 with w^2 + 2 * h * w <= 2 * a * distance, for a finite
// distance >= 0 and h > 0: the positive root, in the form that does not
// cancel when h dominates.
double approach_speed(double distance, double h, double a) noexcept {
    const double twice = 2.0 * a * distance;
    return twice / (h + std::sqrt(h * h + twice));
}

// A bound at least this far away cannot be reached before stopping from
// any accepted velocity (v_max^2 / (2 * a_max) + v_max * kMaxPeriod is at
// most 5e17 rad); it constrains nothing, and 2 * a_max * distance below it
// stays finite.
constexpr double kFarBound = 1e18;

// The fastest velocity towards a fixed bound `distance` >= 0 ahead that
// leaves a state every later sequence of periods can stop in: landing on
// the bound exactly at most at h_min, else (K) with the rounding margin.
double bound_speed(double distance, double h, double h_min, double a_max, double period) noexcept {
    if (!(distance < kFarBound)) {
        return kInfinity;
    }
    if (!(distance > 0.0)) {
        return 0.0;
    }
    const double landing = distance / period;
    if (landing <= h_min) {
        return landing;
    }
    return approach_speed(distance - kCurveMargin * distance, h, a_max);
}

}  // namespace

std::string InvalidMotionLimit::message() const {
    const auto append_number = [](std::string& text, double number) {
        std::array<char, 32> digits{};
        const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), number);
        text.append(digits.data(), written.ptr);
    };
    std::string text = "invalid motion limit: ";
    text += motion_limit_field_name(field);
    if (field == Field::QMin && !std::isnan(value)) {
        text += " ";
        append_number(text, value);
        text += " is not below q_max ";
        append_number(text, q_max);
        return text;
    }
    text += " is ";
    append_number(text, value);
    switch (field) {
        case Field::VMax:
            text += ", must be within [1e-06, 1e+06]";
            break;
        case Field::AMax:
            text += ", must be within [1e-06, 1e+09]";
            break;
        case Field::QMin:
        case Field::QMax:
            text += ", must be a number";
            break;
    }
    return text;
}

MotionState JointLimiter::step(double target_q, double target_v, double dt) noexcept {
    if (!(dt >= kMinPeriod)) {
        return state_;
    }
    const double period = std::min(dt, kMaxPeriod);
    const double q = state_.q;
    const double v = state_.v;
    const double v_max = limits_.v_max;
    const double a_max = limits_.a_max;
    const double h = product_up(a_max, period);
    // The least any later step may change the velocity by.
    const double h_min = product_up(a_max, kMinPeriod);
    if (!std::isfinite(target_q)) {
        target_q = q;
    }
    if (!std::isfinite(target_v)) {
        target_v = 0.0;
    }
    double u = std::clamp(target_v, -v_max, v_max);
    // A target at or beyond an end of the range does not move on past it.
    if (target_q >= q_high_) {
        u = target_q > q_high_ ? 0.0 : std::min(u, 0.0);
        target_q = q_high_;
    } else if (target_q <= q_low_) {
        u = target_q < q_low_ ? 0.0 : std::max(u, 0.0);
        target_q = q_low_;
    }
    const double to_target = std::clamp(target_q - q, -kTargetReach, kTargetReach);
    const double lo = std::max(sum_down(v, -h), -v_max);
    const double hi = std::min(sum_up(v, h), v_max);
    const double error = to_target - u * period;
    // The fastest motion towards either end of the range that can still stop
    // there, whatever the periods to come; unbounded for an infinite end.
    const double up_speed = bound_speed(q_high_ - q, h, h_min, a_max, period);
    const double down_speed = bound_speed(q - q_low_, h, h_min, a_max, period);

    // Within one step of the target: land on it exactly rather than on
    // q + v' * T, which may differ by a rounding; the identity q' - q = v' * T
    // then holds up to that rounding. A fixed target only at a velocity any
    // later step can take away, a moving one at any velocity this step's h
    // lets the next one match to the target's.
    const double landing = u == 0.0 ? h_min : h;
    double v_new = 0.0;
    double q_new = 0.0;
    bool landed = false;
    if (std::abs(error) <= landing * period) {
        const double v_arrive = to_target / period;
        landed = v_arrive >= lo && v_arrive <= hi && v_arrive <= up_speed &&
                 -v_arrive <= down_speed && (u != 0.0 || std::abs(v_arrive) <= h_min);
        v_new = v_arrive;
        q_new = target_q;
    }
    if (!landed) {
        // Mirrored so that "towards the target" is the positive direction.
        const double sign = error < 0.0 ? -1.0 : 1.0;
        const double fastest = sign > 0.0 ? hi : -lo;
        const double slowest = sign > 0.0 ? lo : -hi;
        const double u_toward = sign * u;
        const double distance = std::abs(error);
        // At most half the distance, so a joint always gets closer, even where
        // positions are so large that their rounding rivals a step.
        const double margin =
            std::min(kCurveMargin * (distance + std::abs(to_target)), 0.5 * distance);
        const double toward =
            std::clamp(u_toward + approach_speed(distance - margin, h, a_max), slowest, fastest);
        v_new = sign * toward;
        // An end of the range too close to stop at from a velocity the
        // interval allows (only after a reset at speed): brake at a_max.
        if (v_new > up_speed) {
            v_new = std::max(up_speed, lo);
        } else if (-v_new > down_speed) {
            v_new = std::min(-down_speed, hi);
        }
        q_new = advance(q, v_new, period);
        // Landing on an end of the range: q' can only pass it by the rounding
        // of distance / T.
        if (q_new > q_high_ && v_new <= up_speed) {
            q_new = q_high_;
        } else if (q_new < q_low_ && -v_new <= down_speed) {
            q_new = q_low_;
        }
    }
    // The effective range follows a joint outside the real one inwards, and
    // one the braking carried beyond an end outwards.
    q_high_ = std::max(std::min(q_high_, std::max(q_new, limits_.q_max)), q_new);
    q_low_ = std::min(std::max(q_low_, std::min(q_new, limits_.q_min)), q_new);
    state_ = {q_new, v_new};
    return state_;
}

}  // namespace axiolink::control
