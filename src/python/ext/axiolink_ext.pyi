"""Type information for axiolink_ext, the companion of axiolink."""

import sys
import typing
from array import array
from collections.abc import Buffer, Sequence
from types import TracebackType

from axiolink import ControlSetpoint, Damiao, MitSetpoint, MotorState, SocketCanTransport

__version__: str
__all__ = ["__version__", "MotorGroup", "MotorError", "ServoLoop", "ServoStates",
           "read_register", "write_register", "set_control_mode"]

_MotorErrorKind: typing.TypeAlias = typing.Literal[
    "timeout", "interrupted", "send_failed", "bus_error", "short_frame", "invalid_limits",
    "unconfirmed", "register", "mismatch", "motor_fault", "missed"]

class MotorError(RuntimeError):
    motor_id: int
    text: str
    kind: _MotorErrorKind

_Results: typing.TypeAlias = tuple[MotorState | MotorError, ...]

@typing.final
class MotorGroup:
    def __new__(cls, motors: Sequence[Damiao],
                buses: SocketCanTransport | Sequence[SocketCanTransport],
                timeout_ms: int = 20) -> MotorGroup: ...
    @property
    def motors(self) -> tuple[Damiao, ...]: ...
    @property
    def timeout_ms(self) -> int: ...
    @property
    def late_answers(self) -> tuple[int, ...]: ...
    def __len__(self) -> int: ...
    def cycle(self, setpoints: Sequence[MitSetpoint | ControlSetpoint],
              times: Buffer | list[typing.Any] | None = None) -> _Results: ...
    def enable(self) -> _Results: ...
    def disable(self) -> _Results: ...
    def clear_error(self) -> _Results: ...

@typing.final
class ServoStates(tuple[array[float], array[float], array[float], array[int], array[int],
                        array[int], int]):
    n_fields: typing.ClassVar[int]
    n_sequence_fields: typing.ClassVar[int]
    n_unnamed_fields: typing.ClassVar[int]
    __match_args__: typing.Final = ("q", "dq", "tau", "status", "cycle", "time_ns", "loop_cycle")
    if sys.version_info >= (3, 13):
        def __replace__(self, **changes: typing.Any) -> typing.Self: ...
    @property
    def q(self) -> array[float]: ...
    @property
    def dq(self) -> array[float]: ...
    @property
    def tau(self) -> array[float]: ...
    @property
    def status(self) -> array[int]: ...
    @property
    def cycle(self) -> array[int]: ...
    @property
    def time_ns(self) -> array[int]: ...
    @property
    def loop_cycle(self) -> int: ...

_Percentiles = typing.TypedDict("_Percentiles", {"p50": int, "p99": int, "p99.9": int, "max": int})

class _RealTime(typing.TypedDict):
    sched_fifo: bool
    priority: int
    memory_locked: bool
    cpu: int | None

class _ServoStats(typing.TypedDict):
    cycles: int
    late_periods: int
    overruns: int
    period_error_ns: _Percentiles
    cycle_ns: _Percentiles
    misses: tuple[int, ...]
    consecutive_misses: tuple[int, ...]
    most_consecutive_misses: tuple[int, ...]
    late_answers: tuple[int, ...]
    clamped: tuple[int, ...]
    disabled: tuple[bool, ...]
    real_time: _RealTime

class _ServoLog(typing.TypedDict):
    cycle: array[int]
    time_ns: array[int]
    target: tuple[array[float], ...]
    q: tuple[array[float], ...]
    dq: tuple[array[float], ...]
    tau: tuple[array[float], ...]

_PerMotor: typing.TypeAlias = Sequence[float] | Buffer

@typing.final
class ServoLoop:
    def __new__(cls, group: MotorGroup, rate_hz: float = 500, kp: float = 5.0, kd: float = 0.5,
                max_velocity: float | Sequence[float] = 1.0,
                max_acceleration: float | Sequence[float] = 5.0,
                min_q: float | Sequence[float] | None = None,
                max_q: float | Sequence[float] | None = None, max_misses: int = 10,
                target_timeout_ms: int = 0, stop_kd: float = 1.0, stop_damping_ms: int = 200,
                disable_timeout_ms: int = 100, priority: int = 40, lock_memory: bool = True,
                log_capacity: int = 0, cpu: int = -1,
                stop_on_sigterm: bool = True) -> ServoLoop: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def wait(self, /, timeout: float | None = None) -> bool: ...
    def set_targets(self, /, q: _PerMotor | None = None, dq: _PerMotor | None = None,
                    tau: _PerMotor | None = None, kp: _PerMotor | None = None,
                    kd: _PerMotor | None = None) -> None: ...
    def states(self) -> ServoStates: ...
    def stats(self) -> _ServoStats: ...
    def log(self) -> _ServoLog: ...
    def __enter__(self) -> typing.Self: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None, /) -> typing.Literal[False]: ...
    @property
    def running(self) -> bool: ...
    @property
    def group(self) -> MotorGroup: ...
    @property
    def rate_hz(self) -> float: ...
    @property
    def real_time(self) -> _RealTime: ...
    @property
    def stop_reason(self) -> MotorError | None: ...

def read_register(motor: Damiao, bus: SocketCanTransport, register: int | str) -> int | float: ...
def write_register(motor: Damiao, bus: SocketCanTransport, register: int | str,
                   value: int | float | str) -> int | float: ...
def set_control_mode(motor: Damiao, bus: SocketCanTransport, mode: int | str) -> None: ...
