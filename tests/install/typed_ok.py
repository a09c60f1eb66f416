"""Control code as a user writes it: `mypy --strict` accepts it. Only
type-checked, never run."""

from array import array

import axiolink
import axiolink_ext
from axiolink import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, ServoLoop, ServoStates


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


def arm_step(bus: SocketCanTransport, arm: MotorGroup) -> list[float]:
    positions = []
    for item in arm.cycle([MitSetpoint(kd=1.0)] * len(arm)):
        if isinstance(item, MotorError):
            print(item.motor_id, item.text)
        else:
            positions.append(item.position)
    p_max = axiolink_ext.read_register(arm.motors[0], bus, "p_max")
    axiolink_ext.write_register(arm.motors[0], bus, 9, 0)
    axiolink_ext.set_control_mode(arm.motors[0], bus, "mit")
    return positions + [float(p_max)]


def verified(arm: MotorGroup) -> int:
    times = array("q", [0] * len(arm))
    try:
        for state in arm.enable():
            if isinstance(state, MotorError) and state.kind in ("timeout", "unconfirmed"):
                raise state
        arm.cycle([MitSetpoint(kd=1.0)] * len(arm), times=times)
    finally:
        arm.disable()
        arm.clear_error()
    return sum(arm.late_answers) + times[0]


def servo(arm: MotorGroup) -> float:
    with ServoLoop(arm, rate_hz=200, max_velocity=[1.0], stop_damping_ms=100) as loop:
        now: ServoStates = loop.states()
        loop.set_targets(q=[q + 0.1 for q in now.q], dq=array("d", [0.0]))
        stats = loop.stats()
        late: int = stats["period_error_ns"]["p99.9"] + stats["late_periods"]
        fifo: bool = loop.real_time["sched_fifo"]
        reason = loop.stop_reason
        if reason is not None:
            print(reason.kind, reason.motor_id)
        return now.q[0] + now.loop_cycle + late + fifo + sum(loop.log()["q"][0])


arm = MotorGroup([shoulder()], SocketCanTransport("vcan0"), timeout_ms=5)
