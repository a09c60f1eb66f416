"""dm-emulator's timed wire, held against the arithmetic of CAN frames:
commands sent at once are answered at the times a wire of the given bit rate
allows, and never sooner; under many group cycles, however loaded the
machine, the answers keep the wire's pace, come no sooner than the commands'
own receive stamps allow, and in the order arbitration gives them.

Times are whole nanoseconds, as the kernel stamps them and the emulator
counts them: the wire's order can hang on a fraction of a microsecond
between two frames, which seconds in floating point (a quarter microsecond
apart at today's dates) would decide at random. Only lateness is left to
the machine; no bound here fails because it was slow."""

import os
import signal
import time
import unittest

from bus_support import IFACE, Capture, Emulator, Frame, open_raw, pack

BITRATE = 20_000  # slow, so that a frame (about 6 ms) dwarfs a busy machine's jitter
REACTION = 2_000_000
ADAPTER = 3_000_000
MOTORS = 4
# Late answers are what a loaded machine produces, by any amount; early ones
# only a wrong model. The stamps and the emulator's clock readings come from
# one time keeper, rounded each on its own.
RESOLUTION = 1_000


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


def wire_nanos(frame, bitrate):
    """How long the frame holds the wire, rounded up as the emulator does."""
    return -(-wire_bits(frame) * 1_000_000_000 // bitrate)


class TimedWireTest(unittest.TestCase):
    def test_answers_arrive_when_the_wire_has_carried_commands_and_answers(self):
        motors = [arg for m in range(1, MOTORS + 1) for arg in ("--motor", f"{m}:{0x10 + m:#x}")]
        timing = ["--bitrate", str(BITRATE), "--reaction-us", str(REACTION // 1000),
                  "--adapter-latency-us", str(ADAPTER // 1000)]
        commands = [Frame(m, bytes.fromhex("7FFF7FF0000007FF")) for m in range(1, MOTORS + 1)]
        with Emulator(*motors, *timing), Capture() as capture:
            sender = open_raw()
            for command in commands:
                sender.send(pack(command))
            seen = capture.timed_frames(0.5, nanoseconds=True)
            sender.close()
        sent = [(f, t) for f, t in seen if f.can_id <= MOTORS]
        answers = [(f, t) for f, t in seen if f.can_id > MOTORS]
        self.assertEqual([f.can_id for f, _ in answers], [0x11, 0x12, 0x13, 0x14])
        expected = wire_schedule(sent, [f for f, _ in answers])
        for frame, arrived in answers:
            self.assertGreaterEqual(arrived, expected[frame.can_id] - RESOLUTION, frame)


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
    arrival, wire_free = {}, 0
    while pending:
        start = max(wire_free, min(ready for ready, _, _ in pending))
        ready_now = [p for p in pending if p[0] <= start]
        chosen = min(ready_now, key=lambda p: p[1])
        pending.remove(chosen)
        _, can_id, frame = chosen
        wire_free = start + wire_nanos(frame, BITRATE)
        if can_id in answer_of:
            answer = answer_of[can_id]
            pending.append((wire_free + REACTION, answer.can_id, answer))
        else:
            arrival[can_id] = wire_free + ADAPTER
    return arrival



# Group cycles at the benchmark's settings: at 1 Mbit/s a frame takes about
# 0.1 ms, so a held-back emulator that put overdue answers out at once, or
# took a command's arrival from when it read it, shows in the stamps.
GROUP_BITRATE = 1_000_000
GROUP_REACTION = 50_000
GROUP_ADAPTER = 250_000
GROUP_CYCLES = 200
# Motor m answers at 0x10 + m; commanded in this order, so that arbitration,
# not the order of sending, decides which waiting command takes the wire.
GROUP_ORDER = (7, 12, 3, 9, 1, 5, 11, 2, 8, 4, 10, 6)
# Long enough that the answers to commands that waited for a stopped
# emulator are still due when it goes on.
HELD_BACK_ADAPTER = 20_000_000
MIT_ZERO = bytes.fromhex("7FFF7FF0000007FF")


def group_emulator(adapter):
    motors = [arg for m in GROUP_ORDER for arg in ("--motor", f"{m}:{0x10 + m:#x}")]
    return Emulator(*motors, "--bitrate", str(GROUP_BITRATE),
                    "--reaction-us", str(GROUP_REACTION // 1000),
                    "--adapter-latency-us", str(adapter // 1000))


class GroupCycleOnTheWireTest(unittest.TestCase):
    def test_answers_keep_the_wires_pace_causality_and_arbitration_order(self):
        from axiolink import Damiao, MitSetpoint, SocketCanTransport
        from axiolink_ext import MotorGroup

        seen = []
        with group_emulator(GROUP_ADAPTER), Capture() as capture:
            group = MotorGroup([Damiao(m, 0x10 + m, timeout_ms=100) for m in GROUP_ORDER],
                               SocketCanTransport(IFACE), timeout_ms=100)
            for _ in range(GROUP_CYCLES):
                group.cycle([MitSetpoint()] * len(GROUP_ORDER))
                seen += capture.timed_frames(0, nanoseconds=True)  # drained as it goes
            seen += capture.timed_frames(0.5, nanoseconds=True)
        self.check_wire(seen, GROUP_CYCLES * len(GROUP_ORDER), GROUP_ADAPTER)

    def test_commands_that_waited_for_a_held_back_emulator_keep_their_own_arrival(self):
        # Stopped, the emulator leaves every motor's command, highest id
        # first, in its socket until all were due on the wire long before:
        # going on, it takes them in the order the wire would have, lowest
        # id first after the first, all answers after all commands, and
        # whatever the stop made late, the answers keep that order.
        seen = []
        with group_emulator(HELD_BACK_ADAPTER) as emulator, Capture() as capture:
            sender = open_raw()
            for _ in range(3):
                os.kill(emulator.process.pid, signal.SIGSTOP)
                try:
                    for m in sorted(GROUP_ORDER, reverse=True):
                        sender.send(pack(Frame(m, MIT_ZERO)))
                    time.sleep(1.5 * HELD_BACK_ADAPTER / 1e9)
                finally:
                    os.kill(emulator.process.pid, signal.SIGCONT)
                seen += capture.timed_frames(4 * HELD_BACK_ADAPTER / 1e9, nanoseconds=True)
            sender.close()
        self.check_wire(seen, 3 * len(GROUP_ORDER), HELD_BACK_ADAPTER, in_wire_order=True)

    def check_wire(self, seen, sent, adapter, in_wire_order=False):
        """Holds the answers in `seen`, frames with their kernel stamps, to
        the wire's rules."""
        commands = [(f, t) for f, t in seen if f.can_id in GROUP_ORDER]
        answers = [(f, t) for f, t in seen if f.can_id - 0x10 in GROUP_ORDER]
        self.assertEqual(len(commands), sent)
        self.assertEqual(len(answers), len(commands), "one answer to every command")
        problems = {}

        # Pace: an answer follows the one before no sooner than its own bits
        # take on the wire.
        problems["closer together than the wire carries them (id, us after the one before)"] = [
            (b.can_id, (tb - ta) / 1e3) for (_, ta), (b, tb) in zip(answers, answers[1:])
            if tb - ta < wire_nanos(b, GROUP_BITRATE) - RESOLUTION]

        # Causality: the wire replayed from the commands' stamps gives each
        # answer's earliest arrival; a held-back emulator can only be later.
        at_host = replay_wire(commands, answers, GROUP_BITRATE, GROUP_REACTION, adapter)
        problems["sooner than the wire allows (id, us too soon)"] = [
            (f.can_id, (at_host[i] - t) / 1e3)
            for i, (f, t) in enumerate(answers) if t < at_host[i] - RESOLUTION]
        if in_wire_order:
            # The emulator's wire runs on the same stamps as the replay, so it
            # takes the frames in the replay's order, however late the stop
            # made it hand them over.
            replayed = [answers[i][0].can_id for i in sorted(at_host, key=at_host.get)]
            answered = [f.can_id for f, _ in answers]
            problems["not in the wire's order (as answered, as replayed)"] = (
                [] if answered == replayed else [(answered, replayed)])

        # Arbitration, however late the emulator: of two commands of one
        # round, the lower id, if it was ready first, goes first (whenever the
        # other may take the wire, it waits too, and wins), and so does its
        # answer.
        position = {key: i for i, key in enumerate(cycle_keys(answers))}
        rounds = {}
        for (motor, k), (_, stamp) in zip(cycle_keys(commands), commands):
            rounds.setdefault(k, []).append((motor, stamp))
        problems["out of arbitration order (round, lower id, higher id)"] = [
            (k, low, high) for k, commanded in rounds.items()
            for low, t_low in commanded for high, t_high in commanded
            if low < high and t_low + RESOLUTION <= t_high
            and position[(high, k)] < position[(low, k)]]

        found = {what: (len(which), which[:10]) for what, which in problems.items() if which}
        self.assertFalse(found, f"answers (how many, the first ones) of {len(answers)}: {found}")


def cycle_keys(frames):
    """(motor, how many of its frames came before) for each frame, a
    command's or an answer's."""
    count = {}
    for frame, _ in frames:
        motor = frame.can_id if frame.can_id < 0x10 else frame.can_id - 0x10
        count[motor] = count.get(motor, -1) + 1
        yield motor, count[motor]


def replay_wire(commands, answers, bitrate, reaction, adapter):
    """Per answer, its arrival at the host by the wire's schedule from the
    commands' receive stamps: a command is ready one adapter latency after
    its stamp; whenever the wire is free, the lowest id of the frames ready
    takes it; a motor's answer (the one it sent, matched in order) is ready
    a reaction time after its command's last bit, and reaches the host one
    adapter latency after its own."""
    answer_index = {key: i for i, key in enumerate(cycle_keys(answers))}
    arrivals = [(stamp + adapter, frame, answer_index[key])
                for key, (frame, stamp) in zip(cycle_keys(commands), commands)]
    at_host = {}
    waiting, wire_free, taken = [], 0, 0
    while waiting or taken < len(arrivals):
        ready = [w[0] for w in waiting] + [a[0] for a in arrivals[taken:taken + 1]]
        start = max(wire_free, min(ready))
        while taken < len(arrivals) and arrivals[taken][0] <= start:
            waiting.append(arrivals[taken])
            taken += 1
        chosen = min((w for w in waiting if w[0] <= start), key=lambda w: w[1].can_id)
        waiting.remove(chosen)
        _, frame, answer = chosen
        wire_free = start + wire_nanos(frame, bitrate)
        if frame.can_id < 0x10:
            waiting.append((wire_free + reaction, answers[answer][0], answer))
        else:
            at_host[answer] = wire_free + adapter
    return at_host


if __name__ == "__main__":
    unittest.main()
