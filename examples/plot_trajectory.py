#!/usr/bin/env python3
"""Plot a demo run: plot_trajectory.py SAMPLES.csv OUT.png"""

import csv
import sys

try:
    import matplotlib
except ImportError:
    # demo.py says so in its own words; a traceback would only alarm.
    sys.exit("plot_trajectory.py: matplotlib is not installed for " + sys.executable)

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(samples, out):
    with open(samples) as data:
        rows = [tuple(map(float, row)) for row in list(csv.reader(data))[1:]]
    t, target, position, velocity, torque = zip(*rows)
    figure, (top, middle, bottom) = plt.subplots(3, 1, figsize=(9, 7.5), sharex=True,
                                                 gridspec_kw={"height_ratios": [2, 1, 1]})
    top.plot(t, target, label="commanded position", linewidth=2, color="tab:gray")
    top.plot(t, position, label="measured position", linewidth=1.2, color="tab:blue")
    top.set_ylabel("position (rad)")
    top.legend(loc="upper right")
    top.grid(alpha=0.3)
    top.set_title("MIT position trajectory: commanded vs. motor feedback")
    # On the position scale a lag of a few hundredths of a radian is invisible.
    middle.plot(t, [c - m for c, m in zip(target, position)], color="tab:orange", linewidth=1)
    middle.axhline(0.0, color="black", linewidth=0.6)
    middle.set_ylabel("tracking error (rad)")
    middle.grid(alpha=0.3)
    bottom.plot(t, torque, color="tab:red", linewidth=1)
    bottom.set_ylabel("torque (N·m)")
    bottom.set_xlabel("time (s)")
    bottom.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(out, dpi=110)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
