"""Type information for axiolink_ext, the companion of axiolink."""

import typing
from collections.abc import Sequence

from axiolink import ControlSetpoint, Damiao, MitSetpoint, MotorState, SocketCanTransport

__version__: str
__all__ = ["__version__", "MotorGroup", "MotorError", "read_register", "write_register",
           "set_control_mode"]

class MotorError(RuntimeError):
    motor_id: int
    text: str

@typing.final
class MotorGroup:
    def __new__(cls, motors: Sequence[Damiao],
                buses: SocketCanTransport | Sequence[SocketCanTransport],
                timeout_ms: int = 20) -> MotorGroup: ...
    @property
    def motors(self) -> tuple[Damiao, ...]: ...
    @property
    def timeout_ms(self) -> int: ...
    def __len__(self) -> int: ...
    def cycle(self, setpoints: Sequence[MitSetpoint | ControlSetpoint]
              ) -> tuple[MotorState | MotorError, ...]: ...

def read_register(motor: Damiao, bus: SocketCanTransport, register: int | str) -> int | float: ...
def write_register(motor: Damiao, bus: SocketCanTransport, register: int | str,
                   value: int | float | str) -> int | float: ...
def set_control_mode(motor: Damiao, bus: SocketCanTransport, mode: int | str) -> None: ...
