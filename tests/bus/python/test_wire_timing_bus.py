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
        # The commands leave the adapter back to back, lowest id first, and
        # hold the wire until the last: their ids win over every answer's.
        # The answers, each ready a reaction time after its command, then
        # follow in order; each reaches the host one adapter latency after
        # its last bit. (The reaction is shorter than a frame, so no answer
        # ever waits for its own readiness.)
        wire_free = sent[0][1] + ADAPTER + sum(wire_bits(f) for f, _ in sent) / BITRATE
        for frame, arrived in answers:
            wire_free += wire_bits(frame) / BITRATE
            expected = wire_free + ADAPTER
            self.assertGreaterEqual(arrived, expected - EARLY_TOLERANCE, frame)
            self.assertLessEqual(arrived, expected + LATE_TOLERANCE, frame)


if __name__ == "__main__":
    unittest.main()
