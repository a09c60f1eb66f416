#pragma once
// The physics of one emulated motor: a rotor with inertia, viscous and
// Coulomb friction, driven by a torque-limited impedance law, and two
// temperatures that rise with the torque and relax to ambient.
//
// Everything is deterministic: the same laws over the same time spans give
// the same states, bit for bit. Units are the motor firmware's own (position
// in rad, velocity in rad/s, torque in N·m, temperatures in °C, time in s).
// Plain values; not thread-safe.

#include <cstdint>

namespace axiolink::emulator {

// Mechanical constants, scaled by the model's torque limit so that every
// preset accelerates alike and reaches about twice its velocity limit at full
// torque with no load.
struct RotorParameters {
    double inertia = 1e-3;
    double viscous = 0.17;
    double coulomb = 0.1;

    static RotorParameters for_model(float t_max, float v_max) noexcept;
};

// What the drive asks of the rotor: kp * (position - pos) + kd * (velocity -
// vel) + feedforward, clamped to ±torque_limit. A default law produces no
// torque at all, which is how a disabled motor coasts.
struct DriveLaw {
    double kp = 0.0;
    double kd = 0.0;
    double position = 0.0;
    double velocity = 0.0;
    double feedforward = 0.0;
    double torque_limit = 0.0;

    double torque_at(double pos, double vel) const noexcept;
};

struct Rotor {
    double position = 0.0;
    double velocity = 0.0;

    // Advances by `dt` seconds under `law`. The linear terms are integrated
    // implicitly, so stiff gains stay stable for any step; Coulomb friction
    // can stop the rotor but never reverse it. Returns the torque applied.
    double step(const DriveLaw& law, const RotorParameters& parameters, double dt) noexcept;
};

// Driver-stage and rotor temperatures. Each tends to ambient plus a rise
// proportional to |torque| / t_max, exponentially, with its own time
// constant; exact for a constant torque over the step.
struct Thermal {
    static constexpr double kAmbient = 25.0;

    double t_mos = kAmbient;
    double t_rotor = kAmbient;

    void step(double torque_fraction, double dt) noexcept;
    // Rounded to whole degrees within 0..255, as the feedback carries them.
    std::uint8_t mos_reading() const noexcept;
    std::uint8_t rotor_reading() const noexcept;
};

}  // namespace axiolink::emulator
