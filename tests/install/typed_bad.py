"""Mistakes the stub must let a type checker catch: each marked line must be
reported with the marked error code, and nothing else. Never run."""

from axiolink import ControlSetpoint, Damiao, MitSetpoint, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, ServoLoop

bus = SocketCanTransport("vcan0")
motor = Damiao(0x01, 0x11)
motor.control(bus, MitSetpoint())  # error: arg-type
motor.mit_control(bus, ControlSetpoint.vel(1.0))  # error: arg-type
motor.enable("can0")  # error: arg-type
Damiao(0x01, 0x11, timeout=20)  # error: call-arg
ControlSetpoint.vel("fast")  # error: arg-type
motor.motor_id = 3  # error: misc
position: int = motor.enable(bus).position  # error: assignment
state = motor.ensure_mit_mode(bus)  # error: func-returns-value
MotorGroup([motor], "vcan0")  # error: arg-type
first = MotorGroup([motor], bus).cycle([MitSetpoint()])[0].position  # error: union-attr
ServoLoop(MotorGroup([motor], bus), rate=200)  # error: call-arg
cycles: str = ServoLoop(MotorGroup([motor], bus)).stats()["cycles"]  # error: assignment
timed_out = MotorError().kind == "timed_out"  # error: comparison-overlap


class Joint(Damiao):  # error: misc
    pass
