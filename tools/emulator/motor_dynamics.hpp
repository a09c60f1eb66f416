#pragma once
// What one emulated motor does, apart from the bus: its enable state, latched
// fault, active setpoint and the physics that setpoint drives.
//
// The motor acts on the last setpoint it took until the next one arrives;
// time between events is simulated in fixed steps on the caller's clock
// (`advance_to`), so the same events at the same times give the same states.
// A setpoint taken while the motor is disabled is dropped: enabling starts
// with no torque until the next setpoint.
//
// Error code reported in feedback: 0 disabled, 1 enabled, kOverheat once the
// driver stage reaches kOverheatCelsius while enabled. The overheat fault
// disables the motor and stays until clear_error, which leaves it disabled.
//
// Not thread-safe.

#include <cstdint>

#include "damiao/mit.hpp"
#include "damiao/modes.hpp"
#include "emulator/rotor.hpp"
#include "transport/can.hpp"

namespace axiolink::emulator {

class MotorDynamics {
public:
    static constexpr std::uint8_t kDisabled = 0x0;
    static constexpr std::uint8_t kEnabled = 0x1;
    static constexpr std::uint8_t kOverheat = 0xB;
    static constexpr double kOverheatCelsius = 120.0;

    MotorDynamics(const damiao::MitLimits& limits, transport::MonotonicTime start) noexcept;

    // Simulates the time from the last event up to `now`; an earlier `now`
    // changes nothing.
    void advance_to(transport::MonotonicTime now) noexcept;

    void enable() noexcept;
    void disable() noexcept;
    // Shifts the position scale so that the present position reads 0.
    void set_zero() noexcept;
    void clear_error() noexcept;
    // Latches fault `code` now, as an overheat does: disabled until
    // clear_error.
    void latch_fault(std::uint8_t code) noexcept;
    // Takes a setpoint of any mode; the caller has checked that its mode is
    // the motor's. Ignored while disabled.
    void command(const damiao::ControlSetpoint& setpoint) noexcept;
    // Forgets the active setpoint, as a control-mode change does.
    void drop_command() noexcept;

    bool enabled() const noexcept { return enabled_; }
    std::uint8_t error_code() const noexcept;
    // The present state as the feedback reports it; the torque is what the
    // active setpoint asks for at this instant, limit applied.
    damiao::MotorState state(std::uint8_t motor_id) const noexcept;
    const Rotor& rotor() const noexcept { return rotor_; }
    const Thermal& thermal() const noexcept { return thermal_; }

private:
    enum class Active : std::uint8_t { None, Mit, PosVel, Vel, ForcePos };

    DriveLaw drive_law() const noexcept;
    DriveLaw tracking_law(double torque_limit) const noexcept;
    void step(double dt) noexcept;
    void move_reference(double dt) noexcept;

    damiao::MitLimits limits_;
    RotorParameters parameters_;
    std::uint64_t last_nanos_;
    Rotor rotor_;
    Thermal thermal_;
    bool enabled_ = false;
    std::uint8_t fault_ = 0;

    Active active_ = Active::None;
    damiao::ControlSetpoint setpoint_;
    // Position and velocity of the moving reference the POS_VEL and
    // FORCE_POS setpoints are tracked along.
    double reference_ = 0.0;
    double reference_velocity_ = 0.0;
};

}  // namespace axiolink::emulator
