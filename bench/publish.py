"""Publishes a benchmark run: the latency histogram and the results page.

    /usr/bin/python3 publish.py OUT_DIR RESULTS_DIR

Reads what run.sh left in OUT_DIR (micro.json from Google Benchmark,
exchange.json and exchange.csv from the exchange benchmark, clock_host.json,
null_bus.md)
and writes RESULTS_DIR/latency.png and RESULTS_DIR/latest.md.
"""

import csv
import json
import platform
import statistics
import sys
import time
from collections import defaultdict
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)


def plain(label):
    return label.replace("`", "")


def draw_histogram(summary, csv_path, png_path):
    """One histogram per requester of the time per exchange, each sample the
    mean of one block of exchanges, with the requester's median marked."""
    samples = defaultdict(list)
    with open(csv_path) as source:
        for row in csv.DictReader(source):
            samples[row["requester"]].append(float(row["us_per_exchange"]))
    keys = [row["key"] for row in summary["table"]]
    low = min(min(samples[key]) for key in keys)
    high = max(statistics.quantiles(samples[key], n=100)[-1] for key in keys)
    bins = [low + (high - low) * step / 120 for step in range(121)]

    figure, axes = plt.subplots(figsize=(10, 6), dpi=110)
    colours = plt.get_cmap("tab10")
    for index, row in enumerate(summary["table"]):
        colour = colours(index)
        axes.hist(samples[row["key"]], bins=bins, histtype="stepfilled", alpha=0.4, color=colour,
                  label=f"{plain(row['label'])}: {row['median_us']:.1f} µs "
                        f"({row['ratio_to_floor']:.2f}× floor)")
        axes.axvline(row["median_us"], color=colour, linewidth=1)
    axes.set_xlabel(f"µs per exchange (mean of each block of {summary['block']} exchanges; "
                    f"the slowest 1% of blocks not shown)")
    axes.set_ylabel("blocks")
    axes.set_title(f"One command and its reply on vcan0, User-Mode Linux guest on one CPU: "
                   f"{summary['rounds']} interleaved rounds × {summary['count']} exchanges",
                   fontsize=10)
    axes.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2)
    figure.tight_layout()
    figure.savefig(png_path)


def micro_table(micro):
    medians = [entry for entry in micro["benchmarks"] if entry.get("aggregate_name") == "median"]
    lines = ["| operation | ns per operation (median of "
             f"{medians[0]['repetitions'] if medians else 0} repetitions) |", "|---|---:|"]
    for entry in medians:
        name = entry["run_name"].removeprefix("BM_")
        label = f" ({entry['label']})" if entry.get("label") else ""
        lines.append(f"| `{name}`{label} | {entry['cpu_time']:.1f} |")
    return "\n".join(lines)


def page(out_dir, summary):
    micro = json.loads((out_dir / "micro.json").read_text())
    host_clock = json.loads((out_dir / "clock_host.json").read_text())
    guest_clock = summary["clock_guest"]
    context = micro["context"]
    return "\n".join([
        "# Latest benchmark results",
        "",
        f"Run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} by `./bench/run.sh` on "
        f"{context.get('num_cpus')} × {context.get('mhz_per_cpu')} MHz, "
        f"host kernel {host_clock['kernel']} ({platform.machine()}), "
        f"guest kernel {guest_clock['kernel']} (User-Mode Linux).",
        "",
        "## Exchanges on the virtual bus",
        "",
        summary["markdown"].rstrip(),
        "",
        "![latency histogram](latency.png)",
        "",
        "## Cost beyond the system calls (this host, null bus)",
        "",
        (out_dir / "null_bus.md").read_text().rstrip(),
        "",
        "## Clock readings",
        "",
        f"- host: {host_clock['clock_gettime_calls_per_reading']:g} clock_gettime system "
        f"calls per monotonic clock reading (vDSO mapped: {host_clock['vdso_mapped']})",
        f"- User-Mode Linux guest: {guest_clock['clock_gettime_calls_per_reading']:g} per "
        f"reading (vDSO mapped: {guest_clock['vdso_mapped']})",
        "",
        "## Core operations (this host, no bus)",
        "",
        micro_table(micro),
        "",
    ])


def main(out_dir, results_dir):
    out_dir, results_dir = Path(out_dir), Path(results_dir)
    results_dir.mkdir(parents=True, exist_ok=True)
    summary = json.loads((out_dir / "exchange.json").read_text())
    summary["markdown"] = (out_dir / "exchange.md").read_text()
    draw_histogram(summary, out_dir / "exchange.csv", results_dir / "latency.png")
    (results_dir / "latest.md").write_text(page(out_dir, summary))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])
