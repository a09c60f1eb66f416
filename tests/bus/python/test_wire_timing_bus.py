"""dm-emulator's timed wire, held against the arithmetic of CAN frames:
commands sent at once are answered at the times a wire of the given bit rate
allows, and never sooner."""

import unittest

from bus_support import Capture, Emulator, Frame, open_raw, pack

BITRATE = 20_000  # slow, so that a frame (about 6 ms) dwarfs a busy machine's jitter
REACTION = 0.002
ADAPTER = 0.003
MOTORS = 4
# Late answers are what a loaded machine produces; early ones only a wrong model.
EARLY_TOLERANCE = 0.001
LATE_TOLERANCE = 0.025


def wire_bits(frame):
    """Bits of a classic standard frame on the wire, counted the long way:
    every stuff bit of its content and CRC, the fixed trailer (CRC and ACK
    delimiters, ACK slot, end of frame) and the 3-bit intermission."""
    bits = "0" + f"{frame.can_id:011b}" + "000" + f"{len(frame.data):04b}"
    bits += "".join(f"{byte:08b}" for byte in frame.data)
    crc = 0
    for bit in bits:
        top = (crc >> 14) & 1
        crc = (crc << 1) & 0x7FFF
        if top != int(bit):
            crc ^= 0x4599
    bits += f"{crc:015b}"
    stuffed, run, last = 0, 0, None
    for bit in bits:
        run = run + 1 if bit == last else 1
        last = bit
        if run == 5:
            stuffed += 1
            last, run = ("1" if bit == "0" else "0"), 1
    return len(bits) + stuffed + 10 + 3


class TimedWireTest(unittest.TestCase):
    def test_answers_arrive_when_the_wire_has_carried_commands_and_answers(self):
        motors = [arg for m in range(1, MOTORS + 1) for arg in ("--motor", f"{m}:{0x10 + m:#x}")]
        timing = ["--bitrate", str(BITRATE), "--reaction-us", str(int(REACTION * 1e6)),
                  "--adapter-latency-us", str(int(ADAPTER * 1e6))]
        commands = [Frame(m, bytes.fromhex("7FFF7FF0000007FF")) for m in range(1, MOTORS + 1)]
        with Emulator(*motors, *timing), Capture() as capture:
            sender = open_raw()
            for command in commands:
                sender.send(pack(command))
            seen = capture.timed_frames(settle=0.5)
            sender.close()
        sent = [(f, t) for f, t in seen if f.can_id <= MOTORS]
        answers = [(f, t) for f, t in seen if f.can_id > MOTORS]
        self.assertEqual([f.can_id for f, _ in answers], [0x11, 0x12, 0x13, 0x14])
        expected = wire_schedule(sent, [f for f, _ in answers])
        for frame, arrived in answers:
            self.assertGreaterEqual(arrived, expected[frame.can_id] - EARLY_TOLERANCE, frame)
            self.assertLessEqual(arrived, expected[frame.can_id] + LATE_TOLERANCE, frame)


def wire_schedule(sent, answers):
    """When each answer reaches the host, by the rules of one CAN wire: a
    command reaches the wire one adapter latency after it was sent (its
    capture time); an answer is ready a reaction time after its command's
    last bit; whenever the wire is free, the lowest id of the frames ready
    takes it; an answer reaches the host one adapter latency after its last
    bit. On a slow machine the commands may leave far apart, and an answer
    may then take the wire between two of them."""
    pending = [(t + ADAPTER, f.can_id, f) for f, t in sent]
    answer_of = {f.can_id - 0x10: f for f in answers}
    arrival, wire_free = {}, 0.0
    while pending:
        start = max(wire_free, min(ready for ready, _, _ in pending))
        ready_now = [p for p in pending if p[0] <= start]
        chosen = min(ready_now, key=lambda p: p[1])
        pending.remove(chosen)
        _, can_id, frame = chosen
        wire_free = start + wire_bits(frame) / BITRATE
        if can_id in answer_of:
            answer = answer_of[can_id]
            pending.append((wire_free + REACTION, answer.can_id, answer))
        else:
            arrival[can_id] = wire_free + ADAPTER
    return arrival

if __name__ == "__main__":
    unittest.main()
