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


# What each benchmark measures, by the name before its first "/".
DESCRIPTIONS = {
    "BM_FindStars": "star detection on one 6000 x 4000 frame (24 Mpixel, 3000 stars)",
    "BM_BoxPass": "one box pass over 6000 x 4000 8-bit pixels; args: direction, radius",
    "BM_TreeBuild": "2-D k-d tree over 2,000 stars",
    "BM_FiveNearest": "one 5-nearest query in that tree",
    "BM_PatternNodes": "descriptors of all 2,000 stars",
    "BM_FitStars": "matching and RANSAC fit, 300 reference stars against 300 moved stars",
    "BM_DetectStars": "-t s star detection on the same 24-Mpixel frame (measured background and noise)",
    "BM_TriangleMatch": "-t s triangle matching, 500 reference stars against 500 turned by 150 degrees, a fifth replaced",
    "BM_BilateralFilter": "4000 x 3000 x 3 image, range 40, tile 128; arg: radius",
    "BM_AddFrame<quen_merge::Average>": "mean: one 6000 x 4000 frame folded in; arg: with dark",
    "BM_AddFrame<quen_merge::Lighten>": "maximum: one 6000 x 4000 frame folded in; arg: with dark",
    "BM_RemapFrame": "aligned accumulator: one 6000 x 4000 frame resampled (0.3 degrees, shifted)",
    "BM_KernelCallsAlone": "the 12 kernel evaluations of one output pixel, nothing else",
    "BM_LanczosSample": "one whole Lanczos sample of a 3-channel image; arg: at the border",
    "BM_RowResampler": "aligned stacks' resampling, one core: 64 rows of 3000 pixels, grid turned 0.3 degrees; "
                       "args: with masters, separable float",
}


def describe(name):
    return DESCRIPTIONS.get(name.split("/")[0], "")


def format_time(row):
    value, unit = row["real_time"], row["time_unit"]
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[unit]
    ms = value * scale
    return f"{ms * 1000:.2f} us" if ms < 1 else f"{ms:.1f} ms"


def figures(row):
    parts = []
    if "items_per_second" in row:
        parts.append(f"{row['items_per_second'] / 1e6:.1f} Mpixel/s")
    for key, value in row.items():
        if key in ("stars", "ns_per_pixel", "ns_per_sample", "matches", "inliers"):
            parts.append(f"{key} {value:g}")
    if row.get("label"):
        parts.append(row["label"])
    return ", ".join(parts)


def main(paths):
    print("# Benchmarks\n")
    print("What the figures mean: `docs/BENCHMARK_NOTES.md`.\n")
    print(f"Written by `make bench` on {date.today().isoformat()}: {cpu_model()}, "
          f"{os.cpu_count()} cores, {platform.system()} {platform.release()}. "
          "Each figure is the median of 3 repetitions.\n")
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        program = os.path.basename(path).rsplit(".", 1)[0]
        print(f"## {program}\n")
        print("| benchmark | what | time | figures |")
        print("|---|---|---|---|")
        for row in data["benchmarks"]:
            if row.get("aggregate_name") != "median":
                continue
            name = row["run_name"]
            print(f"| `{name}` | {describe(name)} | {format_time(row)} | {figures(row)} |")
        print()


if __name__ == "__main__":
    main(sys.argv[1:])
