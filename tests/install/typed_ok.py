"""Control code as a user writes it: `mypy --strict` accepts it. Only
type-checked, never run."""

import axiolink
from axiolink import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport


def drive(bus: SocketCanTransport, motor: Damiao) -> float:
    motor.ensure_mit_mode(bus)
    state: MotorState = motor.enable(bus)
    state = motor.mit_control(bus, MitSetpoint(q=1.0, kp=20.0, kd=0.5))
    state = motor.control(bus, ControlSetpoint.mit(axiolink.mit_setpoint(q=0.5, kd=1.0)))
    state = motor.control(bus, ControlSetpoint.force_pos(1.0, 2.0, 0.5))
    motor.disable(bus)
    return state.position + state.velocity + state.torque + state.t_mos + state.error


def shoulder() -> Damiao:
    return Damiao(0x01, 0x11, MitLimits.dm4310(), timeout_ms=20)


limits: float = MitLimits(p_max=3.14).p_max
mode: int = ControlSetpoint.vel(-3.5).mode
version: str = axiolink.__version__
names: list[str] = axiolink.__all__
