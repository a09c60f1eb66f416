"""The Python requesters of the exchange benchmark.

    python requesters.py axiolink-mit|axiolink-enable|socket|python-can < rounds

Each serves rounds read from stdin exactly as the C++ requesters do (see
exchange/worker.hpp): a line "COUNT BLOCK" opens the bus, makes COUNT
exchanges reading the clock once every BLOCK of them, closes the bus and
answers "ok NS NS ..." (nanoseconds per block) or "error TEXT".

The two hand-written requesters do what a user writing the protocol on
their own would: pack the MIT command from five floats, send it, read until
the master id answers, and decode position, velocity and
torque from the reply. `socket` uses only the standard library; `python-can`
uses python-can's SocketCAN bus with `send` and `recv`.
"""

import struct
import sys
import time
from itertools import repeat

IFACE = "vcan0"
MOTOR_ID = 0x001
MASTER_ID = 0x011
TIMEOUT_S = 0.5  # long, as in worker.hpp
SETPOINT = (1.0, -2.0, 20.0, 0.5, 0.25)
P_MAX, V_MAX, KP_MAX, KD_MAX, T_MAX = 12.5, 30.0, 500.0, 5.0, 10.0

CAN_FRAME = struct.Struct("=IB3x8s")


def to_unsigned(x, limit_low, limit_high, bits):
    x = min(max(x, limit_low), limit_high)
    return int((x - limit_low) * ((1 << bits) - 1) / (limit_high - limit_low))


def to_float(raw, limit, bits):
    return raw * 2.0 * limit / ((1 << bits) - 1) - limit


def pack_mit(q, dq, kp, kd, tau):
    q_raw = to_unsigned(q, -P_MAX, P_MAX, 16)
    dq_raw = to_unsigned(dq, -V_MAX, V_MAX, 12)
    kp_raw = to_unsigned(kp, 0.0, KP_MAX, 12)
    kd_raw = to_unsigned(kd, 0.0, KD_MAX, 12)
    tau_raw = to_unsigned(tau, -T_MAX, T_MAX, 12)
    return bytes((q_raw >> 8, q_raw & 0xFF, dq_raw >> 4, (dq_raw & 0xF) << 4 | kp_raw >> 8,
                  kp_raw & 0xFF, kd_raw >> 4, (kd_raw & 0xF) << 4 | tau_raw >> 8, tau_raw & 0xFF))


def decode_feedback(data):
    position = to_float(data[1] << 8 | data[2], P_MAX, 16)
    velocity = to_float(data[3] << 4 | data[4] >> 4, V_MAX, 12)
    torque = to_float((data[4] & 0xF) << 8 | data[5], T_MAX, 12)
    return data[0] & 0xF, data[0] >> 4, position, velocity, torque, data[6], data[7]


class AxiolinkSession:
    def __init__(self, command):
        import axiolink
        self.bus = axiolink.SocketCanTransport(IFACE)
        self.motor = axiolink.Damiao(MOTOR_ID, MASTER_ID, timeout_ms=int(TIMEOUT_S * 1000))
        self.setpoint = axiolink.MitSetpoint(*SETPOINT)
        self.run_block = self.mit_block if command == "mit" else self.enable_block

    # The calls as a user's control loop makes them.
    def mit_block(self, count):
        motor, bus, setpoint = self.motor, self.bus, self.setpoint
        for _ in repeat(None, count):
            motor.mit_control(bus, setpoint)

    def enable_block(self, count):
        motor, bus = self.motor, self.bus
        for _ in repeat(None, count):
            motor.enable(bus)

    def close(self):
        self.bus = None


class SocketSession:
    def __init__(self):
        import socket
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind((IFACE,))
        self.sock.settimeout(TIMEOUT_S)

    def mit_control(self, q, dq, kp, kd, tau):
        self.sock.send(CAN_FRAME.pack(MOTOR_ID, 8, pack_mit(q, dq, kp, kd, tau)))
        while True:
            can_id, _length, data = CAN_FRAME.unpack(self.sock.recv(16))
            if can_id == MASTER_ID:
                return decode_feedback(data)

    def run_block(self, count):
        q, dq, kp, kd, tau = SETPOINT
        for _ in repeat(None, count):
            self.mit_control(q, dq, kp, kd, tau)

    def close(self):
        self.sock.close()


class PythonCanSession:
    def __init__(self):
        import can
        self.message = can.Message
        self.bus = can.Bus(interface="socketcan", channel=IFACE)

    def mit_control(self, q, dq, kp, kd, tau):
        self.bus.send(self.message(arbitration_id=MOTOR_ID, is_extended_id=False,
                                   data=pack_mit(q, dq, kp, kd, tau)))
        while True:
            reply = self.bus.recv(TIMEOUT_S)
            if reply is None:
                raise TimeoutError("no reply within the time-out")
            if reply.arbitration_id == MASTER_ID and not reply.is_extended_id:
                return decode_feedback(reply.data)

    def run_block(self, count):
        q, dq, kp, kd, tau = SETPOINT
        for _ in repeat(None, count):
            self.mit_control(q, dq, kp, kd, tau)

    def close(self):
        self.bus.shutdown()


def open_session(kind):
    if kind == "axiolink-mit":
        return AxiolinkSession("mit")
    if kind == "axiolink-enable":
        return AxiolinkSession("enable")
    if kind == "socket":
        return SocketSession()
    if kind == "python-can":
        return PythonCanSession()
    raise SystemExit(f"unknown requester {kind!r}")


def run_round(kind, count, block):
    session = open_session(kind)
    try:
        run_block, clock = session.run_block, time.perf_counter_ns
        blocks = []
        started = clock()
        for _ in range(count // block):
            run_block(block)
            now = clock()
            blocks.append(now - started)
            started = now
        return blocks
    finally:
        session.close()


def serve(kind):
    for line in sys.stdin:
        try:
            count, block = (int(field) for field in line.split())
            if block <= 0 or count % block:
                raise ValueError(line.strip())
            blocks = run_round(kind, count, block)
            print("ok " + " ".join(str(nanos) for nanos in blocks), flush=True)
        except Exception as failure:  # reported to the driver, which stops the run
            print(f"error {type(failure).__name__}: {failure}", flush=True)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    serve(sys.argv[1])
