"""Turns Google Benchmark JSON files into docs/BENCHMARKS.md (medians of the repetitions)."""
import json
import os
import platform
import sys
from datetime import date


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def figures(row):
    parts = []
    if "items_per_second" in row:
        parts.append(f"{row['items_per_second'] / 1e6:.1f} M items/s")
    for key, value in row.items():
        if key in ("stars", "ns_per_pixel", "matches"):
            parts.append(f"{key} {value:g}")
    if row.get("label"):
        parts.append(row["label"])
    return ", ".join(parts)


def main(paths):
    print("# Benchmarks\n")
    print(f"Written by `make bench` on {date.today().isoformat()}: {cpu_model()}, "
          f"{os.cpu_count()} cores, {platform.system()} {platform.release()}. "
          "Each figure is the median of 3 repetitions.\n")
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        program = os.path.basename(path).rsplit(".", 1)[0]
        print(f"## {program}\n")
        print("| benchmark | time | figures |")
        print("|---|---|---|")
        for row in data["benchmarks"]:
            if row.get("aggregate_name") != "median":
                continue
            name = row["run_name"]
            print(f"| `{name}` | {row['real_time']:.3g} {row['time_unit']} | {figures(row)} |")
        print()


if __name__ == "__main__":
    main(sys.argv[1:])
