"""Turns the group benchmark's figures (group.json) into the table
bench/results/group.md and the plot bench/results/group.png.

usage: publish.py OUT_DIR RESULTS_DIR"""

import json
import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def us(entry):
    return entry["us_per_step"]


def table(rows):
    lines = ["| adapter latency | motors | wire limit µs | plain loop µs | group Python µs | "
             "group C++ µs | instant bus C++ µs | group Py ÷ wire | plain ÷ group Py |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        if row["buses"] != 1:
            continue
        plain, group, cpp, wire = (us(row["plain_python"]), us(row["group_python"]),
                                   us(row["group_cpp"]), row["wire_us"])
        instant = f"{us(row['instant_cpp']):.0f}" if "instant_cpp" in row else "–"
        lines.append(f"| {row['latency_us']} µs | {row['motors']} | {wire:.0f} | {plain:.0f} | "
                     f"{group:.0f} | {cpp:.0f} | {instant} | {group / wire:.2f}× | "
                     f"{plain / group:.2f}× |")
    lines += ["", "| adapter latency | 2 buses × 7 motors | µs per step | ÷ one bus of 7 |",
              "|---:|---|---:|---:|"]
    for row in rows:
        if row["buses"] != 2:
            continue
        one = next(r for r in rows if r["buses"] == 1 and r["motors"] == row["motors"]
                   and r["latency_us"] == row["latency_us"])
        for name, key, base in (("one group, one thread (Python)", "group_python", "group_python"),
                                ("a group per bus, two threads (Python)", "threads_python",
                                 "group_python"),
                                ("one group, one thread (C++)", "group_cpp", "group_cpp")):
            lines.append(f"| {row['latency_us']} µs | {name} | {us(row[key]):.0f} | "
                         f"{us(row[key]) / us(one[base]):.2f}× |")
    return "\n".join(lines) + "\n"


def plot(rows, path):
    latencies = sorted({r["latency_us"] for r in rows})
    figure, axes = plt.subplots(1, len(latencies), figsize=(10, 4), sharey=True)
    for axis, latency in zip(axes, latencies):
        one = [r for r in rows if r["buses"] == 1 and r["latency_us"] == latency]
        motors = [r["motors"] for r in one]
        for label, values, style in (
                ("plain mit_control loop", [us(r["plain_python"]) for r in one], "o-"),
                ("group cycle, Python", [us(r["group_python"]) for r in one], "s-"),
                ("group cycle, C++", [us(r["group_cpp"]) for r in one], "^-"),
                ("wire limit (2N frames)", [r["wire_us"] for r in one], "k--")):
            axis.plot(motors, [v / 1000 for v in values], style, label=label)
        axis.set_title(f"1 Mbit/s, reaction 50 µs, adapter {latency} µs each way")
        axis.set_xlabel("motors on the bus")
        axis.set_xticks(motors)
        axis.grid(alpha=0.3)
    axes[0].set_ylabel("ms per control step")
    axes[0].legend()
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main():
    out, results = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    rows = json.loads((out / "group.json").read_text())
    (results / "group.md").write_text(
        "# Group cycles against plain commands (timed wire, one run)\n\n"
        "Produced by `bench/group/run.sh`: dm-emulator's timed wire at 1 Mbit/s, motor reaction\n"
        "50 µs, in the virtual bus's guest (tools/vbus/vbus-run). µs per control step (every\n"
        "motor commanded once, every answer back), mean of the run's steps.\n\n" + table(rows))
    plot(rows, results / "group.png")


if __name__ == "__main__":
    main()
