"""dmctl against the motor emulator on the virtual bus: every subcommand, its
failures and its JSON."""

import json
import os
import pty
import signal
import subprocess
import time
import unittest

from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport

from user_support import DMCTL, IFACE, REPLY_TIMEOUT_MS, Capture, Emulator, dmctl, run

SUBCOMMANDS = ["scan", "info", "mode", "read", "write", "enable", "disable", "zero", "clear",
               "monitor"]
NO_ANSWER = "transport error: timeout waiting for frame"


def checks(stderr):
    return [line.strip()[len("check: "):] for line in stderr.splitlines()
            if line.strip().startswith("check: ")]


class HelpAndUsageTest(unittest.TestCase):
    def test_help_of_the_tool_and_of_every_subcommand(self):
        tool = run([DMCTL, "--help"])
        self.assertEqual(tool.returncode, 0)
        self.assertTrue(tool.stdout.startswith("Usage: dmctl [--iface IFACE] [--json]"))
        listed = [line.split()[0] for line in tool.stdout.split("Subcommands:\n")[1].splitlines()
                  if line.startswith("  ")]
        self.assertEqual(listed, SUBCOMMANDS)
        for sub in SUBCOMMANDS:
            with self.subTest(sub):
                shown = run([DMCTL, sub, "--help"])
                self.assertEqual(shown.returncode, 0)
                self.assertTrue(shown.stdout.startswith(
                    f"Usage: dmctl [--iface IFACE] [--json] {sub}"), shown.stdout)
                self.assertEqual(shown.stderr, "")

    def test_version(self):
        self.assertEqual(run([DMCTL, "--version"]).stdout, "dmctl 1.1.1\n")

    def test_usage_errors_exit_2_with_their_reason(self):
        cases = [
            ([], "dmctl: no subcommand given"),
            (["spin", "1"], "dmctl: unknown subcommand 'spin'"),
            (["--bitrate", "1", "scan"], "dmctl: unknown option '--bitrate'"),
            (["--timeout-ms", "0", "scan"],
             "dmctl: --timeout-ms '0' is not a number of milliseconds from 1 to 60000"),
            (["scan", "--ids", "9-3"], "dmctl: id range '9-3' runs backwards"),
            (["scan", "1"], "dmctl: scan: expected no arguments (1 argument given)"),
            (["info"], "dmctl: info: expected ID (0 arguments given)"),
            (["info", "0x800"],
             "dmctl: motor id '0x800' is not a number from 0 to 0x7FF (decimal or 0x hex)"),
            (["mode", "1", "torque"],
             "dmctl: mode 'torque' is not one of mit, pos_vel, vel, force_pos (or 1 to 4)"),
            (["read", "1", "speed"],
             "dmctl: register 'speed' is neither a number from 0 to 255 nor a name: master_id, "
             "motor_id, timeout, control_mode, hw_version, fw_version, p_max, v_max, t_max"),
            (["write", "1", "p_max", "fast"],
             "dmctl: value 'fast' is not a finite number for register 21"),
            (["write", "1", "timeout", "-1"],
             "dmctl: value '-1' is not a number from 0 to 0xFFFFFFFF for register 9"),
            # Values the motor cannot take, refused before the bus is opened.
            (["write", "1", "master_id", "0x1000"], "dmctl: value '0x1000' is not an id from 0 "
             "to 0x7FF for register 7; the motor cannot take it"),
            (["write", "1", "control_mode", "7"], "dmctl: value '7' is not one of mit, pos_vel, "
             "vel, force_pos (or 1 to 4) for register 10; the motor cannot take it"),
            (["write", "1", "t_max", "-5"], "dmctl: value '-5' is not a positive number for "
             "register 23; the motor cannot take it"),
            (["write", "1", "t_max", "1e30"], "dmctl: value '1e30' is not a number up to 400 for "
             "register 23; no model's range is more than half that, and MIT values scaled to a "
             "wider range lose their precision"),
            (["write", "1", "control_mode", "velo"], "dmctl: value 'velo' is not one of mit, "
             "pos_vel, vel, force_pos (or 1 to 4) for register 10"),
            # Ids at which the motor would take frames meant for something else.
            (["write", "2", "master_id", "0x102"], "dmctl: value '0x102' is not a master id other "
             "than the motor's command ids 0x002, 0x102, 0x202, 0x302 for register 7; the motor "
             "would take its own answers for commands"),
            (["write", "2", "master_id", "0x7FF"], "dmctl: value '0x7FF' is not a master id other "
             "than 0x7FF for register 7; register requests go to 0x7FF, so every motor would "
             "read the motor's answers as requests"),
            (["write", "2", "motor_id", "0"], "dmctl: value '0' is not a motor id from 1 to 0x7FF "
             "for register 8; at id 0 the motor would take the answers of every motor with "
             "master id 0 for commands"),
            (["enable", "1", "--preset", "dm9999"],
             "dmctl: unknown preset 'dm9999'; presets: dm3507, dm4310, dm4310p, dm4340, dm4340p, "
             "dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, dmh6220, "
             "dmjh11"),
            (["enable", "1", "--master"], "dmctl: enable: --master needs a value"),
            (["monitor", "--motor", "1:2:3:4"],
             "dmctl: --motor '1:2:3:4': expected ID[:MASTER[:PRESET]]"),
            (["monitor", "--duration", "soon"], "dmctl: --duration 'soon' is not a number of seconds"),
            (["monitor", "--hold"],
             "dmctl: --hold needs the motors named with --motor: it enables them"),
            (["monitor", "--motor", "1", "--kp", "5"], "dmctl: --kp is an option of --hold"),
            (["monitor", "--hold", "--motor", "1", "--kp", "600"],
             "dmctl: --kp '600' is not a number from 0 to 500"),
            (["monitor", "--hold", "--motor", "1", "--rate", "0"],
             "dmctl: --rate '0' is not a number of cycles per second from 1 to 2000"),
        ]
        for args, message in cases:
            with self.subTest(args):
                done = dmctl(*args)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(done.stderr.splitlines()[0], message)
                self.assertEqual(done.stdout, "")

    def test_a_json_failure_is_an_object_on_standard_output(self):
        done = dmctl("--json", "mode", "1", "torque")
        self.assertEqual(done.returncode, 2)
        self.assertEqual(json.loads(done.stdout), {
            "error": "mode 'torque' is not one of mit, pos_vel, vel, force_pos (or 1 to 4)",
            "check": [], "exit_status": 2})


class InterfaceTest(unittest.TestCase):
    def test_a_missing_interface(self):
        done = dmctl("scan", iface="nocan7")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.splitlines()[0],
                         "dmctl: cannot open CAN interface nocan7: No such device (os error 19)")
        self.assertIn("the name: `ip link show` lists the interfaces (--iface, default can0)",
                      checks(done.stderr))

    def test_an_interface_that_is_down(self):
        subprocess.run(["ip", "link", "set", "vcan1", "down"], check=True)
        try:
            done = dmctl("--json", "read", "1", "control_mode", iface="vcan1")
        finally:
            subprocess.run(["ip", "link", "set", "vcan1", "up"], check=True)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(json.loads(done.stdout), {
            "error": "CAN interface vcan1 is down",
            # A virtual interface takes no bitrate.
            "check": ["bring it up: sudo ip link set vcan1 up"],
            "exit_status": 1})


class ScanTest(unittest.TestCase):
    def test_a_failed_send_is_an_error_not_silence(self):
        # The adapter's queue is full on the first frame: that is no answer
        # from nobody, but a fault to report with its checks.
        done = run(["strace", "-o", "/dev/null", "-e", "trace=sendto,?send", "-e",
                    "inject=sendto,?send:error=ENOBUFS:when=1", DMCTL, "--iface", IFACE, "scan",
                    "--ids", "1-2"])
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("No buffer space available (os error 105)", done.stderr.splitlines()[0])
        self.assertIn("the adapter's transmit queue is full", done.stderr)

    def test_lists_the_motors_that_answer(self):
        with Emulator("--motor", "1:0x11:dm4310:2", "--motor", "0x7F:0x12:dm4340:3"):
            text = dmctl("scan", "--ids", "1-4", "--ids", "0x7E-0x7F,2")
            listed = dmctl("--json", "scan", "--ids", "1,0x7F")
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertEqual(text.stdout.splitlines(), [
            "ID     MASTER  MODE           P_MAX      V_MAX      T_MAX",
            "0x01   0x11    2 (POS_VEL)    12.5 rad   30 rad/s   10 N·m",
            "0x7F   0x12    3 (VEL)        12.5 rad   10 rad/s   28 N·m",
        ])
        self.assertEqual(json.loads(listed.stdout), {"iface": "vcan0", "motors": [
            {"motor_id": 1, "master_id": 17, "control_mode": 2, "control_mode_name": "POS_VEL",
             "p_max": 12.5, "v_max": 30, "t_max": 10},
            {"motor_id": 127, "master_id": 18, "control_mode": 3, "control_mode_name": "VEL",
             "p_max": 12.5, "v_max": 10, "t_max": 28}]})

    def test_a_late_answer_is_not_taken_for_the_next_id(self):
        # Motor 2 answers 75 ms late: past its own 50 ms wait (rounded up by
        # at most a scheduler tick), within the wait for id 3, whose read
        # pattern it matches; its own id gives it away.
        with Emulator("--motor", "2:0x12", "--fault", "delay=75"):
            done = dmctl("--timeout-ms", "50", "scan", "--ids", "2-3")
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertEqual(done.stderr.splitlines()[0],
                         "dmctl: no motor answered on vcan0 (ids 2-3, 50 ms each)")
        self.assertIn("power: the motors need their own supply; the USB adapter does not power "
                      "them", checks(done.stderr))

    def test_nothing_on_the_bus_is_a_failure_with_json(self):
        done = dmctl("--json", "--timeout-ms", "5", "scan", "--ids", "1-3")
        self.assertEqual(done.returncode, 1)
        report = json.loads(done.stdout)
        self.assertEqual(report["error"], "no motor answered on vcan0 (ids 1-3, 5 ms each)")
        self.assertEqual(report["exit_status"], 1)
        self.assertEqual(len(report["check"]), 5)


class RegisterTest(unittest.TestCase):
    def test_info_names_every_register(self):
        with Emulator("--motor", "3:0x13:dm4340:4"):
            text = dmctl("info", "3")
            report = dmctl("--json", "info", "3")
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertEqual(text.stdout.splitlines(), [
            "motor 0x03 on vcan0:",
            "  7 master_id     19 (0x13)          rw  id the motor answers at (its feedback id)",
            "  8 motor_id      3 (0x03)           rw  the motor's own CAN id",
            "  9 timeout       0 ticks            rw  command time-out of the firmware, 0 = off",
            " 10 control_mode  4 (FORCE_POS)      rw  1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS",
            " 13 hw_version    1 (0x01)           ro  hardware version",
            " 14 fw_version    4357 (0x1105)      ro  firmware version",
            " 21 p_max         12.5 rad           rw  position range of MIT frames and feedback, "
            "+-p_max",
            " 22 v_max         10 rad/s           rw  velocity range of MIT frames and feedback, "
            "+-v_max",
            " 23 t_max         28 N·m             rw  torque range of MIT frames and feedback, "
            "+-t_max",
        ])
        registers = json.loads(report.stdout)["registers"]
        self.assertEqual([(r["register"], r["name"], r["type"], r["value"], r["writable"])
                          for r in registers], [
            (7, "master_id", "Uint32", 19, True), (8, "motor_id", "Uint32", 3, True),
            (9, "timeout", "Uint32", 0, True), (10, "control_mode", "Uint32", 4, True),
            (13, "hw_version", "Uint32", 1, False), (14, "fw_version", "Uint32", 0x1105, False),
            (21, "p_max", "Float", 12.5, True), (22, "v_max", "Float", 10, True),
            (23, "t_max", "Float", 28, True)])
        self.assertEqual(registers[8]["raw"], 0x41E00000)  # 28.0 as IEEE-754 bits
        self.assertEqual(registers[8]["unit"], "N·m")

    def test_info_of_a_motor_that_does_not_answer(self):
        with Emulator("--motor", "3:0x13", "--fault", "silent"):
            done = dmctl("--json", "info", "3")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(json.loads(done.stdout)["error"],
                         f"motor 0x03: no register answered: {NO_ANSWER}")

    def test_read_and_write_typed_values(self):
        with Emulator("--motor", "1:0x11:dm4310:1"):
            read = dmctl("read", "1", "p_max")
            read_json = dmctl("--json", "read", "0x01", "22")
            written = dmctl("write", "1", "t_max", "5.5")
            timeout = dmctl("--json", "write", "1", "timeout", "0x10")
            mode = dmctl("write", "1", "control_mode", "pos_vel")
            back = dmctl("--json", "read", "1", "control_mode")
        self.assertEqual(read.stdout, "motor 0x01 register 21 p_max = 12.5 rad\n")
        self.assertEqual(json.loads(read_json.stdout), {
            "motor_id": 1, "register": 22, "name": "v_max", "unit": "rad/s", "type": "Float",
            "raw": 0x41F00000, "value": 30})
        self.assertEqual(written.stdout,
                         "motor 0x01 register 23 t_max = 5.5 N·m (written and read back)\n")
        self.assertEqual(json.loads(timeout.stdout), {
            "motor_id": 1, "register": 9, "name": "timeout", "unit": "ticks", "type": "Uint32",
            "raw": 16, "value": 16, "written": 16})
        self.assertEqual(mode.stdout, "motor 0x01 register 10 control_mode = 2 (POS_VEL) "
                                      "(written and read back)\n")
        self.assertEqual(json.loads(back.stdout)["control_mode_name"], "POS_VEL")

    def test_refusals_and_failures(self):
        with Emulator("--motor", "1:0x11", "--motor", "2:0x12", "--fault", "ignore-writes@2"):
            cases = [
                (dmctl("write", "1", "fw_version", "1"),
                 "dmctl: motor 0x01: writing register 14: register 14 is read-only"),
                (dmctl("read", "1", "5"),
                 "dmctl: motor 0x01: reading register 5: register 5 is not in the Damiao "
                 "register table"),
                (dmctl("write", "1", "200", "1"),
                 "dmctl: motor 0x01: writing register 200: register 200 is not in the Damiao "
                 "register table"),
                (dmctl("write", "2", "p_max", "3.25"),
                 "dmctl: motor 0x02: writing register 21: wrote 3.25 rad, motor reports 12.5 rad"),
                (dmctl("read", "9", "control_mode"),
                 f"dmctl: motor 0x09: reading register 10 (control_mode): {NO_ANSWER}"),
            ]
        for done, message in cases:
            with self.subTest(message):
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr.splitlines()[0], message)
                self.assertTrue(checks(done.stderr))


    def test_an_id_another_motor_is_commanded_or_answers_at_is_refused(self):
        # Motor 2 answering at 0x001 would command motor 1 with every answer.
        def write(*args):
            return dmctl("--timeout-ms", REPLY_TIMEOUT_MS, "write", "2", *args, "--ids", "1-2")

        with Emulator("--motor", "1:0x11:dm4310:1", "--motor", "2:0x12:dm4310:1"), \
                Capture() as seen:
            commanded = write("master_id", "0x01")
            answering = dmctl("--json", "--timeout-ms", REPLY_TIMEOUT_MS, "write", "2",
                              "master_id", "0x11", "--ids", "1-2")
            shared = write("motor_id", "0x101")
            own_master = write("motor_id", "0x712")
            kept = dmctl("read", "2", "master_id")
            writes = [f for f in seen.frames() if f.can_id == 0x7FF and f.data[2] == 0x55]
            free = write("master_id", "0x22")
            unscanned = write("master_id", "0x01", "--no-scan")
        refused = "dmctl: motor 0x02: register {} not written: "
        cases = [
            (commanded, refused.format(7) + "master id 0x01 is the MIT command id of motor 0x01 "
             "(master id 0x11), so motor 0x02's answers would be commands to it"),
            (shared, refused.format(8) + "motor id 0x101's MIT command id 0x101 is the POS_VEL "
             "command id of motor 0x01 (master id 0x11), so both motors would obey the frames "
             "sent there"),
            (own_master, "dmctl: motor 0x02: value '0x712' is not a motor id whose command ids "
             "(0x712, 0x012, 0x112, 0x212) leave out its master id 0x012 for register 8; the "
             "motor would take its own answers for commands"),
        ]
        for done, message in cases:
            with self.subTest(message):
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertEqual(done.stderr.splitlines()[0], message)
                self.assertEqual(done.stdout, "")
        self.assertEqual(json.loads(answering.stdout)["error"], "motor 0x02: register 7 not "
                         "written: master id 0x11 is where motor 0x01 (master id 0x11) answers, "
                         "so the answers of the two motors could not be told apart")
        self.assertEqual(writes, [])
        self.assertEqual(kept.stdout, "motor 0x02 register 7 master_id = 18 (0x12)\n")
        self.assertEqual(free.returncode, 0, free.stderr)
        self.assertEqual(unscanned.returncode, 0, unscanned.stderr)
        self.assertEqual(unscanned.stderr, "dmctl: warning: --no-scan: not checked whether "
                         "another motor is commanded or answers at 0x01\n")
        self.assertEqual(unscanned.stdout, "motor 0x02 register 7 master_id = 1 (0x01) (written "
                         "and read back)\n")


class ModeTest(unittest.TestCase):
    def test_switches_verifies_and_says_so(self):
        with Emulator("--motor", "1:0x11:dm4310:2"):
            switched = dmctl("--timeout-ms", REPLY_TIMEOUT_MS, "mode", "1", "vel")
            again = dmctl("--json", "--timeout-ms", REPLY_TIMEOUT_MS, "mode", "1", "VEL")
            back = dmctl("--json", "--timeout-ms", REPLY_TIMEOUT_MS, "mode", "1", "1")
            state = Damiao(1, 0x11, timeout_ms=int(REPLY_TIMEOUT_MS)).mit_control(
                SocketCanTransport(IFACE), MitSetpoint())
        self.assertEqual(switched.stdout,
                         "motor 0x01: control mode VEL (switched from 2 (POS_VEL), verified)\n")
        self.assertEqual(json.loads(again.stdout), {
            "motor_id": 1, "control_mode": 3, "control_mode_name": "VEL", "previous": 3,
            "previous_name": "VEL", "switched": False})
        self.assertTrue(json.loads(back.stdout)["switched"])
        self.assertEqual(state.motor_id, 1)  # the MIT frame is answered again

    def test_a_motor_that_keeps_its_mode(self):
        with Emulator("--motor", "1:0x11:dm4310:2", "--fault", "ignore-writes"):
            done = dmctl("--timeout-ms", REPLY_TIMEOUT_MS, "mode", "1", "mit")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.splitlines()[0],
                         "dmctl: motor 0x01: switching to MIT: control mode verification failed: "
                         "wrote 1, motor reports 2")
        self.assertEqual(checks(done.stderr)[0],
                         "the motor kept its old mode: disable it first (`dmctl disable 0x01`)")


class SpecialCommandTest(unittest.TestCase):
    def test_each_command_prints_the_decoded_state(self):
        with Emulator("--motor", "5:0x15:dm4340:3"):
            enabled = dmctl("enable", "5")
            zeroed = dmctl("--json", "zero", "5", "--master", "0x15", "--preset", "DM4340")
            cleared = dmctl("--json", "clear", "5")
            disabled = dmctl("disable", "5", "--master=0x15")
        self.assertRegex(enabled.stdout,
                         r"^motor 0x05 enable: enabled \(error 1\), position [+-]\d\.\d{4} rad, "
                         r"velocity [+-]\d\.\d{4} rad/s, torque [+-]\d\.\d{4} N·m, t_mos \d+ °C, "
                         r"t_rotor \d+ °C\n$")
        report = json.loads(zeroed.stdout)
        self.assertEqual((report["command"], report["motor_id"], report["master_id"]),
                         ("zero", 5, 0x15))
        self.assertEqual(set(report["state"]), {"motor_id", "error", "status", "position",
                                                "velocity", "torque", "t_mos", "t_rotor"})
        self.assertEqual(report["state"]["status"], "enabled")
        self.assertLess(abs(report["state"]["position"]), 0.01)
        self.assertEqual(json.loads(cleared.stdout)["state"]["error"], 1)
        self.assertTrue(disabled.stdout.startswith("motor 0x05 disable: disabled (error 0), "))

    def test_failures_name_what_to_check(self):
        with Emulator("--motor", "5:0x15", "--motor", "6:0x16", "--fault", "short-reply=6@6"), \
                Capture() as seen:
            wrong_master = dmctl("enable", "5", "--master", "0x25")
            short = dmctl("--json", "enable", "6", "--master", "0x16", "--preset", "dm4310")
            frames = seen.frames()
        self.assertEqual(wrong_master.returncode, 1)
        self.assertEqual(wrong_master.stderr.splitlines()[0],
                         f"dmctl: motor 0x05: enable (answer at 0x25): {NO_ANSWER}")
        self.assertIn("the master id: the motor answers at the id in its register 7 "
                      "(`dmctl read 0x05 master_id`)", checks(wrong_master.stderr))
        # The motor took the enable; its answer went to 0x15, unseen. A disable undoes it.
        self.assertEqual(wrong_master.stderr.splitlines()[-1], "dmctl: sent a disable to motor "
                         "0x05, in case it took the enable (no answer to it either)")
        self.assertEqual([f.data for f in frames if f.can_id == 5],
                         [bytes([0xFF] * 7 + [0xFC]), bytes([0xFF] * 7 + [0xFD])])
        report = json.loads(short.stdout)
        self.assertEqual(report["exit_status"], 1)
        self.assertRegex(report["error"], r"^motor 0x06: enable \(answer at 0x16\): malformed "
                         r"feedback: expected 8 data bytes, got 6: \[22(, \d+){5}\]$")
        self.assertIn("do two devices share that id?", report["check"][0])
        self.assertTrue(report["undone"].startswith("tried a disable to motor 0x06, in case it "
                                                    "took the enable: malformed feedback"),
                        report["undone"])


class MonitorTest(unittest.TestCase):
    def start_monitor(self, *args):
        monitor = subprocess.Popen([DMCTL, "--iface", IFACE, *args, "monitor", "--lines",
                                    "--motor", "1:0x11:dm4310", "--motor", "2:0x12:dm4340",
                                    "--interval", "0.2"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertTrue(monitor.stderr.readline().startswith(
            "dmctl: watching 0x01 (answers at 0x11) 0x02 (answers at 0x12) on vcan0"))
        return monitor

    def drive(self, commands):
        bus = SocketCanTransport(IFACE)
        one, two = Damiao(1, 0x11), Damiao(2, 0x12, MitLimits.dm4340())
        for motor in (one, two):
            motor.enable(bus)
        for i in range(commands):
            one.mit_control(bus, MitSetpoint(q=0.5, kp=20, kd=1))
            if i % 2 == 0:
                two.mit_control(bus, MitSetpoint(q=-0.5, kp=20, kd=1))
            time.sleep(0.005)

    def test_json_lines_count_every_feedback_frame(self):
        with Emulator("--motor", "1:0x11:dm4310:1", "--motor", "2:0x12:dm4340:1"):
            monitor = self.start_monitor("--json")
            self.drive(40)
            time.sleep(0.3)
            monitor.send_signal(signal.SIGTERM)
            out, err = monitor.communicate(timeout=20)
        self.assertEqual(monitor.returncode, 0, err)
        events = [json.loads(line) for line in out.splitlines()]
        summary = events[-1]
        self.assertEqual(summary["event"], "summary")
        self.assertEqual([(m["motor_id"], m["frames"]) for m in summary["motors"]],
                         [(1, 41), (2, 21)])
        feedback = [e for e in events if e["event"] == "feedback"]
        self.assertTrue(feedback)
        last_of_one = [e for e in feedback if e["motor_id"] == 1][-1]
        self.assertEqual(last_of_one["state"]["status"], "enabled")
        self.assertGreater(last_of_one["state"]["position"], 0.0)

    def test_lines_and_a_duration(self):
        with Emulator("--motor", "1:0x11:dm4310:1", "--motor", "2:0x12:dm4340:1"):
            monitor = self.start_monitor()
            self.drive(10)
            monitor.send_signal(signal.SIGINT)
            out, err = monitor.communicate(timeout=20)
            quiet = dmctl("monitor", "--motor", "1:0x11:dm4310", "--duration", "0.3")
        self.assertEqual(monitor.returncode, 0, err)
        self.assertRegex(out.splitlines()[-1],
                         r"^t=\d+\.\d\ds motor 0x02: enabled \(error 1\), position [+-]0\.\d{4} rad.* "
                         r"\(6 frames, \d+\.\d Hz\)$")
        self.assertIn("dmctl: 17 feedback frames in", err)
        self.assertEqual(quiet.returncode, 0)
        self.assertEqual(quiet.stdout, "")
        self.assertIn("dmctl: no feedback seen: monitor only listens", quiet.stderr)

    def test_a_terminal_gets_one_table_redrawn(self):
        leader, follower = pty.openpty()
        with Emulator("--motor", "1:0x11:dm4310:1"):
            monitor = subprocess.Popen([DMCTL, "--iface", IFACE, "monitor", "--motor",
                                        "1:0x11:dm4310", "--interval", "0.1"],
                                       stdout=follower, stderr=subprocess.PIPE, text=True)
            os.close(follower)
            monitor.stderr.readline()
            bus = SocketCanTransport(IFACE)
            Damiao(1, 0x11).enable(bus)
            time.sleep(0.5)
            monitor.send_signal(signal.SIGTERM)
            monitor.wait(timeout=20)
        screen = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the terminal closed with the program
                break
            if not chunk:
                break
            screen += chunk
        os.close(leader)
        frames = screen.decode().split("\x1b[H\x1b[J")[1:]
        self.assertGreaterEqual(len(frames), 3)
        self.assertRegex(frames[-1], r"^dmctl monitor on vcan0, \d+ s; Ctrl-C ends\r?\n"
                                     r"t=\d+\.\d\ds motor 0x01: enabled \(error 1\), .*"
                                     r"\(1 frames, \d+\.\d Hz\)\r?\n$")

    def hold(self, *motors):
        args = ["--json", "--timeout-ms", REPLY_TIMEOUT_MS, "monitor", "--hold", "--lines",
                "--interval", "0.1", "--duration", "0.5", "--rate", "50"]
        for motor in motors:
            args += ["--motor", motor]
        return dmctl(*args)

    def test_hold_keeps_each_motor_where_it_was_then_disables_it(self):
        with Emulator("--motor", "1:0x11:dm4310:1", "--motor", "2:0x12:dm4340:1"), Capture() as seen:
            bus = SocketCanTransport(IFACE)
            moved = Damiao(1, 0x11, timeout_ms=int(REPLY_TIMEOUT_MS))
            moved.enable(bus)
            for _ in range(30):  # away from zero, slowly
                moved.mit_control(bus, MitSetpoint(q=0.6, kp=10, kd=1))
                time.sleep(0.01)
            start = moved.disable(bus).position
            held = self.hold("1:0x11:dm4310", "2:0x12:dm4340")
            frames = seen.frames()
        self.assertEqual(held.returncode, 0, held.stderr)
        self.assertGreater(start, 0.3)
        events = [json.loads(line) for line in held.stdout.splitlines()]
        summary = events[-1]
        self.assertEqual([m["motor_id"] for m in summary["motors"]], [1, 2])
        for motor in summary["motors"]:
            self.assertGreater(motor["frames"], 5)
        for event in events[:-1]:
            self.assertEqual(event["state"]["status"], "enabled")
            expected = start if event["motor_id"] == 1 else 0.0
            self.assertAlmostEqual(event["state"]["position"], expected, delta=0.02)
        self.assertTrue(held.stderr.endswith(
            "dmctl: disabled 0x01 (answers at 0x11) 0x02 (answers at 0x12)\n"), held.stderr)
        # The last command each motor got is the disable frame.
        last = {frame.can_id: frame.data for frame in frames if frame.can_id in (1, 2)}
        self.assertEqual(last, {1: bytes([0xFF] * 7 + [0xFD]), 2: bytes([0xFF] * 7 + [0xFD])})

    def test_hold_after_a_stall_goes_on_at_its_rate_without_a_burst(self):
        # The process is stopped for a second: a loop that made up the lost
        # periods would send about fifty commands back to back.
        with Emulator("--motor", "1:0x11:dm4310:1"), Capture() as seen:
            monitor = subprocess.Popen(
                [DMCTL, "--iface", IFACE, "--json", "--timeout-ms", REPLY_TIMEOUT_MS, "monitor",
                 "--hold", "--lines", "--duration", "3", "--rate", "50", "--motor", "1:0x11:dm4310"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(1)
            monitor.send_signal(signal.SIGSTOP)
            time.sleep(1)
            monitor.send_signal(signal.SIGCONT)
            _, errors = monitor.communicate(timeout=60)
            stamps = [stamp for frame, stamp in seen.timed_frames()
                      if frame.can_id == 1 and frame.data[:7] != bytes([0xFF] * 7)]
        self.assertEqual(monitor.returncode, 0, errors)
        # Commands closer than a quarter of the 20 ms period.
        crowded = sum(1 for a, b in zip(stamps, stamps[1:]) if b - a < 0.005)
        self.assertLess(crowded, 10, f"{crowded} of {len(stamps)} commands crowded")

    def test_hold_refuses_other_modes_and_leaves_nothing_enabled_when_a_motor_fails(self):
        with Emulator("--motor", "1:0x11:dm4310:1", "--motor", "3:0x13:dm4310:2",
                      "--motor", "4:0x14:dm4310:1"), Capture() as seen:
            other_mode = self.hold("1:0x11:dm4310", "3:0x13:dm4310")
            shared_master = self.hold("1:0x11:dm4310", "4:0x11:dm4310")
            # Motor 4 answers its registers, but its commands at 0x14, not 0x24.
            no_answer = self.hold("1:0x11:dm4310", "4:0x24:dm4310")
            frames = seen.frames()
        self.assertEqual(other_mode.returncode, 1)
        self.assertEqual(json.loads(other_mode.stdout)["error"],
                         "motor 0x03 is in POS_VEL mode; --hold holds in MIT mode")
        self.assertEqual(json.loads(shared_master.stdout)["error"], "motors 0 and 1 of the group "
                         "answer at the same master id 0x011 on one bus")
        self.assertEqual(no_answer.returncode, 1)
        self.assertEqual(json.loads(no_answer.stdout)["error"],
                         f"motor 0x04: enable (answer at 0x24): {NO_ANSWER}")
        commands = [frame.data for frame in frames if frame.can_id == 1]
        self.assertEqual(commands, [bytes([0xFF] * 7 + [0xFC]), bytes([0xFF] * 7 + [0xFD])])

    def test_without_motors_it_scans_and_fails_when_none_answer(self):
        done = dmctl("--timeout-ms", "5", "monitor", "--ids", "1-2")
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.splitlines()[0],
                         "dmctl: no motor answered on vcan0 to name the motors to watch")


class CommandLineRulesTest(unittest.TestCase):
    def test_options_before_and_after_the_subcommand_alike(self):
        with Emulator("--motor", "1:0x11:dm4310:2"):
            for args in (["--iface", IFACE, "--timeout-ms", "5", "scan", "--ids", "1-2"],
                         ["scan", "--ids", "1-2", "--iface", IFACE, "--timeout-ms", "5"],
                         ["--json", "scan", "--iface=" + IFACE, "--ids", "1-2"],
                         ["scan", "--json", "--ids", "1-2", "--iface", IFACE]):
                with self.subTest(args):
                    done = run([DMCTL, "--iface", "nocan7", *args])
                    self.assertEqual(done.returncode, 0, done.stderr)
                    if "--json" in args:
                        self.assertEqual(json.loads(done.stdout)["motors"][0]["motor_id"], 1)
                    else:
                        self.assertRegex(done.stdout, r"\n0x01 +0x11 +2 \(POS_VEL\)")
        self.assertEqual(run([DMCTL, "scan", "--version"]).stdout, "dmctl 1.1.1\n")

    def test_json_failures_of_every_kind_are_valid_json(self):
        cases = [
            # A wrong global option, before --json has been seen.
            (["--bogus", "--json", "scan"], 2, "unknown option '--bogus'"),
            # An interface name that is not UTF-8: the bytes become U+FFFD.
            (["--json", "--iface", os.fsdecode(b"\xff\xfe"), "scan"], 1,
             "cannot open CAN interface \ufffd\ufffd: No such device (os error 19)"),
            # A wrong --motor argument is a usage error before the bus is opened.
            (["--json", "--iface", "nocan7", "monitor", "--motor", "1:0x11:dm9999"], 2,
             "unknown preset 'dm9999'; presets: dm3507, dm4310, dm4310p, dm4340, dm4340p, "
             "dm6006, dm6248p, dm8006, dm8009, dm10010, dm10010l, dmg6215, dmh3510, dmh6220, "
             "dmjh11"),
            (["--json", "--iface", "nocan7", "monitor", "--motor", "1:x"], 2,
             "master id 'x' is not a number from 0 to 0x7FF (decimal or 0x hex)"),
        ]
        for args, status, error in cases:
            with self.subTest(args):
                done = subprocess.run([DMCTL, *args], capture_output=True, timeout=60)
                self.assertEqual(done.returncode, status)
                self.assertEqual(json.loads(done.stdout.decode("utf-8"))["error"], error)

    def test_emulator_version(self):
        emulator = os.environ["AXIOLINK_EMULATOR"]
        self.assertEqual(run([emulator, "--version"]).stdout, "dm-emulator 1.1.1\n")


if __name__ == "__main__":
    unittest.main()
