#include "emulator/rotor.hpp"

#include <algorithm>
#include <cmath>

namespace axiolink::emulator {
namespace {

constexpr double kInertiaPerTorque = 1e-4;  // full torque accelerates by 1e4 rad/s²
constexpr double kCoulombFraction = 0.01;   // of t_max
constexpr double kNoLoadSpeedRatio = 2.0;   // full-torque speed / v_max
constexpr double kMosRisePerLoad = 120.0;   // °C above ambient at full torque
constexpr double kMosTimeConstant = 20.0;   // s
constexpr double kRotorRisePerLoad = 90.0;
constexpr double kRotorTimeConstant = 60.0;

double relax(double temperature, double target, double time_constant, double dt) noexcept {
    return target + (temperature - target) * std::exp(-dt / time_constant);
}

std::uint8_t reading(double temperature) noexcept {
    return static_cast<std::uint8_t>(std::lround(std::clamp(temperature, 0.0, 255.0)));
}

}  // namespace

RotorParameters RotorParameters::for_model(float t_max, float v_max) noexcept {
    const double torque = t_max > 0.0F ? t_max : 1.0;
    const double speed = v_max > 0.0F ? v_max : 1.0;
    return {
        .inertia = kInertiaPerTorque * torque,
        .viscous = torque / (kNoLoadSpeedRatio * speed),
        .coulomb = kCoulombFraction * torque,
    };
}

double DriveLaw::torque_at(double pos, double vel) const noexcept {
    const double torque = kp * (position - pos) + kd * (velocity - vel) + feedforward;
    if (std::isnan(torque)) {
        return 0.0;
    }
    return std::clamp(torque, -torque_limit, torque_limit);
}

double Rotor::step(const DriveLaw& law, const RotorParameters& parameters, double dt) noexcept {
    const double j = parameters.inertia;
    // Backward Euler on the linear part: the new velocity appears in the
    // damping terms and, through the new position, in the stiffness term.
    const double scale = 1.0 + dt * (law.kd + parameters.viscous) / j + dt * dt * law.kp / j;
    const double drive =
        law.kp * (law.position - position) + law.kd * law.velocity + law.feedforward;
    double new_velocity = (velocity + dt / j * drive) / scale;
    double torque = law.kp * (law.position - (position + dt * new_velocity)) +
                    law.kd * (law.velocity - new_velocity) + law.feedforward;
    if (std::isnan(torque) || std::abs(torque) > law.torque_limit) {
        torque = std::isnan(torque) ? 0.0 : std::copysign(law.torque_limit, torque);
        new_velocity = (velocity + dt / j * torque) / (1.0 + dt * parameters.viscous / j);
    }
    const double friction_change = dt * parameters.coulomb / j;
    if (std::abs(new_velocity) <= friction_change) {
        new_velocity = 0.0;
    } else {
        new_velocity -= std::copysign(friction_change, new_velocity);
    }
    velocity = new_velocity;
    position += dt * new_velocity;
    return torque;
}

void Thermal::step(double torque_fraction, double dt) noexcept {
    const double load =
        std::isfinite(torque_fraction) ? std::clamp(std::abs(torque_fraction), 0.0, 1.0) : 0.0;
    t_mos = relax(t_mos, kAmbient + kMosRisePerLoad * load, kMosTimeConstant, dt);
    t_rotor = relax(t_rotor, kAmbient + kRotorRisePerLoad * load, kRotorTimeConstant, dt);
}

std::uint8_t Thermal::mos_reading() const noexcept {
    return reading(t_mos);
}
std::uint8_t Thermal::rotor_reading() const noexcept {
    return reading(t_rotor);
}

}  // namespace axiolink::emulator
