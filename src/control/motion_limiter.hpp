#pragma once
// Online motion limiting for one joint of a servo loop.
//
// A loop streams position targets at its own period; between them and the
// wire sits one `JointLimiter` per joint. It turns a far or sudden target
// into a smooth motion: the commanded velocity never exceeds v_max, changes
// by at most a_max per second, and the commanded position moves by exactly
// the commanded velocity times the period. A fixed target is reached in
// near-minimum time, without overshoot, and then held exactly; a moving
// target within the limits is followed without lag. The commanded position
// stays within the joint's range, braking in time for either end. All of it
// holds for any sequence of periods, not only a constant one.
//
// Units: rad, rad/s, rad/s^2, seconds. Everything is double precision, pure
// arithmetic, allocation-free and noexcept (only an error's `message()`
// allocates). A limiter is a plain value: one thread at a time.

#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace axiolink::control {

// The defaults are what a loop uses for a joint it was given no limits for.
// A joint that is told to go somewhere far gets there slowly and visibly:
// 1 rad/s is about 57 degrees a second, slow enough for a person to see the
// motion coming and react, and far below the speed of every motor this
// drives. 5 rad/s^2 reaches that speed in 0.2 s and stops from it within
// 0.1 rad, soft on gearboxes and on a structure the joint carries, without
// making small moves sluggish.
// The range is unbounded unless given.
struct MotionLimits {
    double v_max = 1.0;                                       // rad/s
    double a_max = 5.0;                                       // rad/s^2
    double q_min = -std::numeric_limits<double>::infinity();  // rad
    double q_max = std::numeric_limits<double>::infinity();   // rad
};

inline constexpr MotionLimits kDefaultMotionLimits{};

// Accepted limits. No joint comes near the upper bounds (1e6 rad/s is about
// ten million rpm); the lower ones keep the arithmetic far from overflow
// and underflow for every period, so no finite target can produce a NaN.
inline constexpr double kMinMotionLimit = 1e-6;
inline constexpr double kMaxVelocityLimit = 1e6;
inline constexpr double kMaxAccelerationLimit = 1e9;

// Periods `step` works with. A shorter or non-positive dt (or NaN) leaves the
// state unchanged; a longer one is taken as kMaxPeriod, so one call can never
// move a joint further than one second at v_max.
inline constexpr double kMinPeriod = 1e-9;
inline constexpr double kMaxPeriod = 1.0;

// How exactly each step keeps its bounds: within this fraction of the
// magnitudes involved, from the rounding of the few additions that make the
// step. With h = a_max * dt:
//   |v_new| <= v_max                                       (exactly)
//   |v_new - v| <= h + kStepTolerance * max(|v|, h)
//   |(q_new - q) - v_new * dt| <= kStepTolerance * max(|q|, |q_new|)
inline constexpr double kStepTolerance = 16.0 * std::numeric_limits<double>::epsilon();

// A limit outside its accepted range (NaN included): the first one in field
// order, v_max, a_max, q_min, q_max. Either end of the range may be infinite,
// but q_min must be below q_max; when it is not, the fault is reported on
// q_min, with the q_max it is not below.
struct InvalidMotionLimit {
    enum class Field : std::uint8_t { VMax, AMax, QMin, QMax };
    Field field;
    double value;
    // The q_max that q_min is not below; NaN unless that is the fault.
    double q_max = std::numeric_limits<double>::quiet_NaN();
    // "invalid motion limit: a_max is -1, must be within [1e-06, 1e+09]"
    // "invalid motion limit: q_max is nan, must be a number"
    // "invalid motion limit: q_min 1 is not below q_max 0"
    std::string message() const;
};

// "v_max", "a_max", "q_min" or "q_max".
constexpr std::string_view motion_limit_field_name(InvalidMotionLimit::Field field) noexcept {
    switch (field) {
        case InvalidMotionLimit::Field::VMax:
            return "v_max";
        case InvalidMotionLimit::Field::AMax:
            return "a_max";
        case InvalidMotionLimit::Field::QMin:
            return "q_min";
        case InvalidMotionLimit::Field::QMax:
            return "q_max";
    }
    return "?";
}

// The first limit outside its accepted range, or nothing when all are fine.
constexpr std::optional<InvalidMotionLimit> check_motion_limits(
    const MotionLimits& limits) noexcept {
    using Field = InvalidMotionLimit::Field;
    // Written so that NaN fails the comparisons.
    if (!(limits.v_max >= kMinMotionLimit && limits.v_max <= kMaxVelocityLimit)) {
        return InvalidMotionLimit{Field::VMax, limits.v_max};
    }
    if (!(limits.a_max >= kMinMotionLimit && limits.a_max <= kMaxAccelerationLimit)) {
        return InvalidMotionLimit{Field::AMax, limits.a_max};
    }
    if (limits.q_min != limits.q_min) {
        return InvalidMotionLimit{Field::QMin, limits.q_min};
    }
    if (limits.q_max != limits.q_max) {
        return InvalidMotionLimit{Field::QMax, limits.q_max};
    }
    if (!(limits.q_min < limits.q_max)) {
        return InvalidMotionLimit{Field::QMin, limits.q_min, limits.q_max};
    }
    return std::nullopt;
}

// A default-constructed limiter skips the check; its limits must pass it.
static_assert(!check_motion_limits(kDefaultMotionLimits).has_value());

// A commanded joint state: position and velocity.
struct MotionState {
    double q = 0.0;
    double v = 0.0;
};

class JointLimiter {
public:
    // Default limits, at rest at 0: call `reset` before the first step.
    constexpr JointLimiter() noexcept = default;

    // A limiter with checked limits, at rest at 0.
    static constexpr std::expected<JointLimiter, InvalidMotionLimit> make(
        const MotionLimits& limits) noexcept {
        if (const auto invalid = check_motion_limits(limits)) {
            return std::unexpected(*invalid);
        }
        return JointLimiter(limits);
    }

    // Puts the commanded state where the motor stands (the position its
    // enable answer reports). A v beyond v_max is taken as +-v_max, so every
    // step's bounds hold from the first step on. q and v must be finite.
    //
    // A joint outside its range is held where it stands and may only move
    // towards the range: on that side the effective bound is q itself, and it
    // follows the joint inwards (never outwards) until it is the real limit.
    // A v that cannot stop before a bound is braked at a_max from the first
    // step on; the joint then passes that bound by what it still travels
    // while braking (up to v^2 / (2 * a_max) + |v| * dt), and the bound
    // follows it there and back as above. A joint reset at rest never passes.
    constexpr void reset(double q, double v = 0.0) noexcept {
        const double v_max = limits_.v_max;
        state_ = {q, v > v_max ? v_max : (v < -v_max ? -v_max : v)};
        q_low_ = q < limits_.q_min ? q : limits_.q_min;
        q_high_ = q > limits_.q_max ? q : limits_.q_max;
    }

    // Advances one period of dt seconds and returns the new commanded state.
    // target_q is where the joint should be at the end of this period, and
    // target_v the velocity it moves on with: 0 for a fixed target; a planner
    // streaming a trajectory passes each period's sample and its velocity,
    // and a motion within the limits is then followed without lag.
    // Whatever the targets and periods, the bounds of kStepTolerance hold.
    // A target beyond the effective range is taken as its end, at rest; the
    // commanded position never leaves the effective range, whatever target_v
    // says. A target further than 1e12 rad is treated as 1e12 rad away, a
    // target_v beyond v_max as v_max. Callers refuse non-finite targets before; should one
    // come through, a non-finite target_q brings the joint to rest where it
    // is and a non-finite target_v counts as 0.
    MotionState step(double target_q, double target_v, double dt) noexcept;

    const MotionState& state() const noexcept { return state_; }
    const MotionLimits& limits() const noexcept { return limits_; }
    // The range the commanded position is kept in now: [q_min, q_max], or
    // wider on a side the joint stood (or was carried) beyond.
    double effective_q_min() const noexcept { return q_low_; }
    double effective_q_max() const noexcept { return q_high_; }

private:
    explicit constexpr JointLimiter(const MotionLimits& limits) noexcept : limits_(limits) {}

    MotionLimits limits_ = kDefaultMotionLimits;
    MotionState state_;
    double q_low_ = limits_.q_min;
    double q_high_ = limits_.q_max;
};

}  // namespace axiolink::control
