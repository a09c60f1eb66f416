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
// position error after this step is E - w' * T, where w' = v' - u. Braking
// from a relative velocity w at the full rate takes w, w - h, w - 2h, ... down
// to zero, covering (this step included)
//
//     S(w) = T * (w + (w - h) + (w - 2h) + ...),  positive terms only,
//          = T * (n + 1) * (w - h * n / 2),       n = floor(w / h).
//
// The best v' is the fastest one towards the target with S(w') <= E: it can
// still stop exactly at the target without braking harder than a_max, and
// no faster velocity can. Inverting S piece by piece gives that w' in closed
// form. The continuous-time curve w = sqrt(2 * a_max * E) would be wrong
// here: it ignores the half step each discrete velocity is held longer, so
// following it overshoots or needs a harder last stop. Once the target is
// within one step (|E| <= h * T) and reachable within the interval, the step
// lands on it exactly and the next one matches its velocity; a target at
// rest is then held with v' = 0 and q' = q, bit for bit.
//
// Rounding: positions carry an error of about one unit in the last place per
// step, and while braking at the full rate nothing absorbs it, so it could
// add up to a tiny overshoot at the end. The curve therefore aims short of
// the target by a margin that is larger than that rounding and shrinks by
// more than one step's rounding each braking step: then every braking step
// keeps a little room, and the last step lands inside the interval.

namespace axiolink::control {
namespace {

// Further than this, a target only sets the direction: the braking distance
// of a real joint is many orders of magnitude shorter, and bounding it keeps
// the distance finite even where `target - q` overflows.
constexpr double kTargetReach = 1e12;

// Per step of braking still ahead, in units of the positions' magnitude: a
// few times the rounding of the additions behind q' and E. The magnitude
// |q| + |target - q| + |E| does not grow while a joint approaches a fixed
// target, so the margin shrinks by at least this much per braking step.
constexpr double kMarginPerStep = 8.0 * std::numeric_limits<double>::epsilon();

// S(w) above, for w > 0.
double stopping_distance(double w, double h, double period) noexcept {
    const double n = std::floor(w / h);
    return period * (n + 1.0) * (w - 0.5 * h * n);
}

// The largest w >= 0 with S(w) <= distance, for distance >= 0. In units of
// h * T, S(n * h) = n * (n + 1) / 2 and S is linear between, with slope
// (n + 1) * T on [n * h, (n + 1) * h]. Where rounding puts x into the
// neighbouring piece, at a boundary, that piece's line gives the same w up to
// rounding, since S is continuous there; the margin absorbs the difference.
double velocity_for_distance(double distance, double h, double period) noexcept {
    const double x = distance / (h * period);
    const double n = std::floor(0.5 * (std::sqrt(1.0 + 8.0 * x) - 1.0));
    return h * (x / (n + 1.0) + 0.5 * n);
}

}  // namespace

std::string InvalidMotionLimit::message() const {
    std::array<char, 32> number{};
    const auto written = std::to_chars(number.data(), number.data() + number.size(), value);
    std::string text = "invalid motion limit: ";
    text += motion_limit_field_name(field);
    text += " is ";
    text.append(number.data(), written.ptr);
    text += field == Field::VMax ? ", must be within [1e-06, 1e+06]"
                                 : ", must be within [1e-06, 1e+09]";
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
    const double h = limits_.a_max * period;
    if (!std::isfinite(target_q)) {
        target_q = q;
    }
    if (!std::isfinite(target_v)) {
        target_v = 0.0;
    }
    const double to_target = std::clamp(target_q - q, -kTargetReach, kTargetReach);
    const double u = std::clamp(target_v, -v_max, v_max);
    const double lo = std::max(v - h, -v_max);
    const double hi = std::min(v + h, v_max);
    const double error = to_target - u * period;

    // Within one step of the target, and its velocity can be matched in the
    // next: land on it exactly rather than on q + v' * T, which may differ by
    // a rounding; the identity q' - q = v' * T then holds up to that rounding.
    if (std::abs(error) <= h * period) {
        const double v_arrive = to_target / period;
        if (v_arrive >= lo && v_arrive <= hi) {
            state_ = {target_q, v_arrive};
            return state_;
        }
    }

    // Mirrored so that "towards the target" is the positive direction.
    const double sign = error < 0.0 ? -1.0 : 1.0;
    const double fastest = sign > 0.0 ? hi : -lo;
    const double slowest = sign > 0.0 ? lo : -hi;
    const double u_toward = sign * u;
    const double distance = std::abs(error);
    // The margin counts the braking steps still ahead; at most half the
    // distance, so a joint always gets closer, even where positions are so
    // large that their rounding rivals a step.
    const double braking_steps = std::abs(v - u) / h + 2.0;
    const double margin =
        std::min(kMarginPerStep * (std::abs(q) + std::abs(to_target) + distance) * braking_steps,
                 0.5 * distance);
    const double reach = distance - margin;

    // If even the fastest velocity the interval allows can still stop in time
    // (accelerating, cruising at v_max), take it; only otherwise is the curve
    // inverted, which also keeps that arithmetic far from overflow.
    double toward = fastest;
    const double w_fastest = fastest - u_toward;
    if (w_fastest > 0.0 && reach < stopping_distance(w_fastest, h, period)) {
        toward = std::clamp(u_toward + velocity_for_distance(reach, h, period), slowest, fastest);
    }
    const double v_new = sign * toward;
    state_ = {q + v_new * period, v_new};
    return state_;
}

}  // namespace axiolink::control
