#include "emulator/motor_dynamics.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

namespace axiolink::emulator {
namespace {

// The physics runs in steps of 0.25 ms. Past two seconds without an event the
// rest of the gap is taken in one step: the implicit integration stays stable
// and the temperatures are exact, and an idle motor costs nothing to wake.
constexpr std::uint64_t kStepNanos = 250'000;
constexpr std::uint64_t kMaxSteps = 8'000;
constexpr double kNanosPerSecond = 1e9;

// Gains of the motor's own position and velocity loops, per N·m of t_max:
// with the rotor's inertia the position loop is critically damped at
// 200 rad/s, the velocity loop settles with a 10 ms time constant.
constexpr double kPositionGainPerTorque = 4.0;
constexpr double kPositionDampingPerTorque = 0.04;
constexpr double kVelocityGainPerTorque = 0.01;

double sign_of(double x) noexcept {
    return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0);
}

double finite_or(double x, double fallback) noexcept {
    return std::isfinite(x) ? x : fallback;
}

}  // namespace

MotorDynamics::MotorDynamics(const damiao::MitLimits& limits,
                             transport::MonotonicTime start) noexcept
    : limits_(limits),
      parameters_(RotorParameters::for_model(limits.t_max, limits.v_max)),
      last_nanos_(start.nanos) {}

void MotorDynamics::advance_to(transport::MonotonicTime now) noexcept {
    if (now.nanos <= last_nanos_) {
        return;
    }
    const std::uint64_t elapsed = now.nanos - last_nanos_;
    last_nanos_ = now.nanos;
    const std::uint64_t steps = std::min(elapsed / kStepNanos, kMaxSteps);
    for (std::uint64_t i = 0; i < steps; ++i) {
        step(static_cast<double>(kStepNanos) / kNanosPerSecond);
    }
    const std::uint64_t rest = elapsed - steps * kStepNanos;
    if (rest > 0) {
        step(static_cast<double>(rest) / kNanosPerSecond);
    }
}

void MotorDynamics::enable() noexcept {
    if (fault_ != 0) {
        return;
    }
    enabled_ = true;
    active_ = Active::None;
}

void MotorDynamics::disable() noexcept {
    enabled_ = false;
    active_ = Active::None;
}

void MotorDynamics::set_zero() noexcept {
    reference_ -= rotor_.position;
    rotor_.position = 0.0;
}

void MotorDynamics::clear_error() noexcept {
    fault_ = 0;
}

void MotorDynamics::latch_fault(std::uint8_t code) noexcept {
    fault_ = code;
    enabled_ = false;
    active_ = Active::None;
}

void MotorDynamics::command(const damiao::ControlSetpoint& setpoint) noexcept {
    if (!enabled_) {
        return;
    }
    const bool was_tracking = active_ == Active::PosVel || active_ == Active::ForcePos;
    active_ = static_cast<Active>(setpoint.index() + 1);
    setpoint_ = setpoint;
    const bool tracking = active_ == Active::PosVel || active_ == Active::ForcePos;
    if (tracking && !was_tracking) {
        reference_ = rotor_.position;
        reference_velocity_ = 0.0;
    }
}

void MotorDynamics::drop_command() noexcept {
    active_ = Active::None;
}

std::uint8_t MotorDynamics::error_code() const noexcept {
    if (fault_ != 0) {
        return fault_;
    }
    return enabled_ ? kEnabled : kDisabled;
}

damiao::MotorState MotorDynamics::state(std::uint8_t motor_id) const noexcept {
    return {
        .motor_id = motor_id,
        .error = error_code(),
        .position = static_cast<float>(rotor_.position),
        .velocity = static_cast<float>(rotor_.velocity),
        .torque = static_cast<float>(drive_law().torque_at(rotor_.position, rotor_.velocity)),
        .t_mos = thermal_.mos_reading(),
        .t_rotor = thermal_.rotor_reading(),
    };
}

DriveLaw MotorDynamics::drive_law() const noexcept {
    const double t_max = limits_.t_max;
    switch (active_) {
        case Active::None:
            return {};
        case Active::Mit: {
            const auto& mit = std::get<damiao::MitSetpoint>(setpoint_);
            return {mit.kp, mit.kd, mit.q, mit.dq, mit.tau, t_max};
        }
        case Active::Vel: {
            const double target =
                std::clamp(finite_or(std::get<damiao::VelSetpoint>(setpoint_).velocity, 0.0),
                           -static_cast<double>(limits_.v_max), static_cast<double>(limits_.v_max));
            const double friction =
                parameters_.viscous * target + parameters_.coulomb * sign_of(target);
            return {0.0, kVelocityGainPerTorque * t_max, 0.0, target, friction, t_max};
        }
        case Active::PosVel:
            return tracking_law(t_max);
        case Active::ForcePos: {
            const double ratio = std::get<damiao::ForcePosSetpoint>(setpoint_).torque_ratio;
            return tracking_law(std::clamp(finite_or(ratio, 0.0), 0.0, 1.0) * t_max);
        }
    }
    return {};
}

DriveLaw MotorDynamics::tracking_law(double torque_limit) const noexcept {
    const double t_max = limits_.t_max;
    const double friction = parameters_.viscous * reference_velocity_ +
                            parameters_.coulomb * sign_of(reference_velocity_);
    return {kPositionGainPerTorque * t_max,
            kPositionDampingPerTorque * t_max,
            reference_,
            reference_velocity_,
            friction,
            torque_limit};
}

void MotorDynamics::move_reference(double dt) noexcept {
    double target = 0.0;
    double speed = 0.0;
    if (active_ == Active::PosVel) {
        const auto& pos_vel = std::get<damiao::PosVelSetpoint>(setpoint_);
        target = pos_vel.position;
        speed = pos_vel.velocity;
    } else if (active_ == Active::ForcePos) {
        const auto& force_pos = std::get<damiao::ForcePosSetpoint>(setpoint_);
        target = force_pos.position;
        speed = force_pos.velocity_limit;
    } else {
        return;
    }
    target = finite_or(target, reference_);
    speed = std::min(std::abs(finite_or(speed, 0.0)), static_cast<double>(limits_.v_max));
    const double distance = target - reference_;
    if (std::abs(distance) <= speed * dt) {
        reference_ = target;
        reference_velocity_ = 0.0;
    } else {
        reference_velocity_ = std::copysign(speed, distance);
        reference_ += reference_velocity_ * dt;
    }
}

void MotorDynamics::step(double dt) noexcept {
    move_reference(dt);
    const double torque = rotor_.step(drive_law(), parameters_, dt);
    thermal_.step(torque / limits_.t_max, dt);
    if (enabled_ && thermal_.t_mos >= kOverheatCelsius) {
        fault_ = kOverheat;
        enabled_ = false;
        active_ = Active::None;
    }
}

}  // namespace axiolink::emulator
