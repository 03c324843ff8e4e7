"""Calibration with bias, dark and flat frames: how close the calibrated mean
comes to the truth, beside Siril's calibration of the same frames, and what
the masters cost a run.

usage: /usr/bin/python3 bench/calibration.py BUILD_DIR DATA_DIR > section.md

The generator's calibration set (one camera: bias with a column pattern, dark
current with hot pixels, vignetting to about half in the corners, dust
donuts; Poisson and read noise) is judged against its truth, the lights' sky
and stars alone, by build/bench/calibration_quality.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

QUALITY_FIELD = ["-W", "1200", "-H", "800", "-S", "400", "-s", "5", "-p", "40"]
COST_FIELD = ["-W", "3000", "-H", "2000", "-S", "3000", "-s", "9", "-p", "50"]
RUNS = 7


def generate(starfield, field, folder, kind, frames, extra=()):
    os.makedirs(folder, exist_ok=True)
    subprocess.run([starfield, *field, "-K", kind, "-n", str(frames), *extra, os.path.join(folder, "f%02d.fit")],
                   check=True)
    return sorted(os.path.join(folder, f) for f in os.listdir(folder))


def options(flag, files):
    return [part for f in files for part in (flag, f)]


def quality(measure, result, truth, catalogue):
    out = subprocess.run([measure, result, truth, catalogue], check=True, capture_output=True, text=True).stdout
    figures = {}
    for line in out.splitlines():
        if line.startswith("background"):
            figures["rms"] = line.split()[3] + " %"
        elif line.startswith("deepest"):
            figures["dip"] = line.split()[2] + " %"
        elif line.startswith("star flux"):
            figures["flux"] = line.split()[3]
        elif line.startswith("hot"):
            figures["hot"] = line.split()[3]
    return figures


def run_quiet(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wall_and_peak(command):
    """Wall seconds and the peak resident MiB of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        raise RuntimeError("failed: " + " ".join(command))
    return time.perf_counter() - start, usage.ru_maxrss / 1024


def main():
    build, data = sys.argv[1], sys.argv[2]
    tarnic = os.path.join(build, "tarnic")
    starfield = os.path.join(build, "starfield")
    measure = os.path.join(build, "bench", "calibration_quality")
    here = os.path.dirname(os.path.abspath(__file__))
    work = os.path.join(data, "calibration")
    shutil.rmtree(work, ignore_errors=True)

    q = os.path.join(work, "quality")
    lights = generate(starfield, QUALITY_FIELD, os.path.join(q, "lights"), "light", 8)
    flats = generate(starfield, QUALITY_FIELD, os.path.join(q, "flats"), "flat", 8)
    darks = generate(starfield, QUALITY_FIELD, os.path.join(q, "darks"), "dark", 8)
    long_darks = generate(starfield, QUALITY_FIELD, os.path.join(q, "darks120"), "dark", 8, ["-E", "120"])
    biases = generate(starfield, QUALITY_FIELD, os.path.join(q, "bias"), "bias", 16)
    catalogue = os.path.join(q, "catalogue.txt")
    truth = generate(starfield, QUALITY_FIELD, os.path.join(q, "truth"), "truth", 1, ["-N", "-C", catalogue])[0]

    results = {}
    calibration = options("-b", biases) + options("-d", darks) + options("-f", flats)
    stacks = {
        "mean, uncalibrated": [],
        "tarnic -b -d -f": calibration,
        "tarnic -b -d -f, darks of twice the exposure": options("-b", biases) + options("-d", long_darks)
        + options("-f", flats),
    }
    for name, extra in stacks.items():
        results[name] = os.path.join(q, "%d.fit" % len(results))
        run_quiet([tarnic, *extra, "-F", "-o", results[name], *lights])
    siril = os.path.join(q, "siril.tif")
    if shutil.which("siril-cli"):
        run_quiet([os.path.join(here, "siril_calibrate.sh"), "-t", "2", os.path.dirname(biases[0]),
                   os.path.dirname(darks[0]), os.path.dirname(flats[0]), os.path.dirname(lights[0]), siril])
        results["Siril preprocess (bias, dark, flat masters) + mean"] = siril

    print("## Calibration: bias, dark and flat frames\n")
    print("A generated calibration set, 1200 x 800: 8 lights of 60 s, 8 flats at half full scale, 8 darks of 60 s "
          "and 8 of 120 s, 16 bias frames, as FITS with EXPTIME; one camera with a bias column pattern, dark current "
          "varying by 40 % from pixel to pixel, 40 hot pixels, vignetting from 1.0 to about 0.5 in the corners "
          "(off-centre), five dust donuts 25-60 px wide and 5-15 % deep, Poisson and read noise. Each stack is "
          "judged against the truth (the lights' sky and stars alone) by `build/bench/calibration_quality`: "
          "large-scale background RMS (64-px block medians, relative), the deepest dip of 16-px block medians "
          "(dust donuts), the median star flux of the corner ninths over the centre's, relative to the truth's, "
          "and pixels left 10 noise units above the truth's sky.\n")
    print("| stack | background RMS | deepest dip | star flux corners/centre | hot pixels left |")
    print("|---|---|---|---|---|")
    for name, path in results.items():
        f = quality(measure, path, truth, catalogue)
        print("| %s | %s | %s | %s | %s |" % (name, f["rms"], f["dip"], f["flux"], f["hot"]))
    right, scaled = results["tarnic -b -d -f"], results["tarnic -b -d -f, darks of twice the exposure"]
    f = quality(measure, scaled, right, catalogue)
    print("\nDarks of twice the lights' exposure, scaled by 0.5 over the bias, against darks of the lights' own "
          "exposure: large-scale RMS difference %s, deepest dip %s.\n" % (f["rms"], f["dip"]))

    c = os.path.join(work, "cost")
    cost_lights = generate(starfield, COST_FIELD, os.path.join(c, "lights"), "light", 8)
    masters = ["-b", generate(starfield, COST_FIELD, os.path.join(c, "bias"), "bias", 1, ["-N"])[0],
               "-d", generate(starfield, COST_FIELD, os.path.join(c, "dark"), "dark", 1, ["-N"])[0],
               "-f", generate(starfield, COST_FIELD, os.path.join(c, "flat"), "flat", 1, ["-N"])[0]]
    out = os.path.join(c, "out.ppm")
    print("Cost, 8 lights of 3000 x 2000 (FITS) and one master file of each kind, both cores, wall time median "
          "of %d interleaved runs. The masters' own reading and making is the run with them and one light less "
          "the run of that light alone; the ratio leaves it out.\n" % RUNS)
    print("| stack | plain | with masters | masters' own cost | ratio without it | peak memory, plain / with |")
    print("|---|---|---|---|---|---|")
    for mode in (["-t", "n"], ["-t", "s"]):
        commands = {
            "plain": [tarnic, *mode, "-o", out, *cost_lights],
            "calibrated": [tarnic, *mode, *masters, "-o", out, *cost_lights],
            "plain one": [tarnic, *mode, "-o", out, cost_lights[0]],
            "calibrated one": [tarnic, *mode, *masters, "-o", out, cost_lights[0]],
        }
        walls = {name: [] for name in commands}
        peaks = {}
        for _ in range(RUNS):
            for name, command in commands.items():
                wall, peaks[name] = wall_and_peak(command)
                walls[name].append(wall)
        m = {name: statistics.median(w) for name, w in walls.items()}
        own = m["calibrated one"] - m["plain one"]
        print("| `tarnic %s` | %.2f s | %.2f s | %.2f s | %.2f | %.0f / %.0f MiB |" % (
            " ".join(mode), m["plain"], m["calibrated"], own, (m["calibrated"] - own) / m["plain"], peaks["plain"],
            peaks["calibrated"]))
    print()


if __name__ == "__main__":
    main()
