"""Frame scores, selection and weights: a generated night of twelve frames,
three of them spoiled, scored in the report and kept by -k 75%; frames of
unequal noise weighted by -w; and what the scores and the second pass cost
beside the plain aligned stack.

usage: /usr/bin/python3 bench/scores.py BUILD_DIR DATA_DIR > section.md
"""
import csv
import math
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import WIDTH, HEIGHT, generate, frames_of, interleaved  # noqa: E402

FIELD = ["-W", "1200", "-H", "800", "-S", "400", "-s", "3"]
# name, generator options, star sigma along x and y (px)
NIGHT = [("good", ["-n", "9"], 1.5, 1.5), ("cloud", ["-n", "1", "-k", "6000", "-t", "0.3"], 1.5, 1.5),
         ("shake", ["-n", "1", "-q", "2"], 3.0, 1.5), ("focus", ["-n", "1", "-f", "3"], 3.0, 3.0)]


def truth(sx, sy):
    """FWHM and roundness of a pixel-integrated Gaussian star."""
    vx, vy = sx * sx + 1 / 12, sy * sy + 1 / 12
    return 2.3548 * (vx * vy) ** 0.25, math.sqrt(min(vx, vy) / max(vx, vy))


def night(tarnic, starfield, folder):
    os.makedirs(folder, exist_ok=True)
    for name, options, _, _ in NIGHT:
        subprocess.run([starfield] + FIELD + options + [os.path.join(folder, name + "%d.tif")], check=True)
    order = ["good0", "good1", "cloud0", "good2", "good3", "shake0", "good4", "good5", "focus0", "good6", "good7",
             "good8"]
    frames = [os.path.join(folder, n + ".tif") for n in order]
    report = os.path.join(folder, "night.csv")
    subprocess.run([tarnic, "-k", "75%", "-R", report, "-o", os.path.join(folder, "kept.ppm")] + frames,
                   check=True, capture_output=True)
    rows = []
    with open(report, newline="") as f:
        for name, row in zip(order, csv.DictReader(f)):
            kind = next(k for k in NIGHT if name.startswith(k[0]))
            fwhm, roundness = truth(kind[2], kind[3])
            rows.append((name, row["verdict"], float(row["fwhm_px"]), fwhm, float(row["roundness"]), roundness,
                         row["reason"]))
    return rows


def weighting(tarnic, starfield, folder):
    """Six frames of one field, three with 3x the noise: one pixel's noise
    of the plain mean, of -w, and of the optimal inverse-variance mean."""
    from normalisation import pixel_noise
    from trails import read_ppm
    os.makedirs(folder, exist_ok=True)
    field = ["-n", "6", "-W", "800", "-H", "600", "-S", "150", "-k", "3000"]
    for gain, prefix in (("1", "quiet"), ("9", "noisy")):
        subprocess.run([starfield] + field + ["-e", gain, os.path.join(folder, prefix + "%d.ppm")], check=True)
    frames = [os.path.join(folder, f"quiet{k}.ppm") for k in range(3)] + \
             [os.path.join(folder, f"noisy{k}.ppm") for k in range(3, 6)]
    optimal = sum(pixel_noise(read_ppm(f)) ** -2 for f in frames) ** -0.5
    noise = {}
    for name, options in (("equal", []), ("-w", ["-w"])):
        out = os.path.join(folder, "out.ppm")
        subprocess.run([tarnic] + options + ["-o", out] + frames, check=True, capture_output=True)
        noise[name] = pixel_noise(read_ppm(out))
    return optimal, noise["equal"], noise["-w"]


def cost(tarnic, data):
    folder = os.path.join(data, "rigid")
    generate(os.path.join(os.path.dirname(tarnic), "starfield"), folder, 8, WIDTH, HEIGHT, ["-r", "1", "-x", "40"])
    frames = frames_of(folder)
    out = os.path.join(folder, "out.ppm")
    commands = {
        "-t s": [tarnic, "-t", "s", "-o", out] + frames,
        "-t s -R": [tarnic, "-t", "s", "-R", os.path.join(folder, "r.csv"), "-o", out] + frames,
        "-t s -k fwhm<99 (two passes, every frame kept)": [tarnic, "-t", "s", "-k", "fwhm<99", "-o", out] + frames,
    }
    return interleaved(commands, folder, repeats=5)


def main(build, data):
    build, data = os.path.abspath(build), os.path.abspath(data)
    tarnic, starfield = os.path.join(build, "tarnic"), os.path.join(build, "starfield")
    rows = night(tarnic, starfield, os.path.join(data, "night"))
    optimal, equal, weighted = weighting(tarnic, starfield, os.path.join(data, "weighting"))
    times = cost(tarnic, data)
    print("## Frame scores, selection and weights (-R, -k, -w)\n")
    print("Twelve generated 1200 x 800 frames of one field (`bench/scores.py`): nine good (star sigma 1.5 px), one "
          "through a cloud (sky 3x, 30 % of the starlight), one shaken (stars 2:1), one out of focus (sigma 3 px); "
          "stacked with `-k 75% -R`. The truth is the pixel-integrated Gaussian's.\n")
    print("| frame | verdict | FWHM, px (truth) | roundness (truth) | reason |")
    print("|---|---|---|---|---|")
    for name, verdict, fwhm, true_fwhm, roundness, true_roundness, reason in rows:
        print(f"| {name} | {verdict} | {fwhm:.3f} ({true_fwhm:.3f}) | {roundness:.3f} ({true_roundness:.3f}) | "
              f"{reason} |")
    worst_fwhm = max(abs(r[2] / r[3] - 1) for r in rows)
    worst_round = max(abs(r[4] - r[5]) for r in rows)
    print(f"\nLargest FWHM error {100 * worst_fwhm:.1f} % (bar 5 %), largest roundness error {worst_round:.3f} "
          "(bar 0.05).\n")
    print("Six 800 x 600 frames of one field, three with 3x the others' sky noise: one pixel's noise of the plain "
          "mean %.2f ADU, with `-w` %.2f, of the optimal inverse-variance mean %.2f (`-w` at %.3fx the optimal, "
          "%.1f %% below the plain mean; bars 1.03x and 15 %%).\n" % (equal, weighted, optimal, weighted / optimal,
                                                                      100 * (1 - weighted / equal)))
    print("Cost, 8 frames of %d x %d 16-bit TIFF, both cores, median of 5 interleaved runs:\n" % (WIDTH, HEIGHT))
    print("| command | wall time | ratio to `-t s` |")
    print("|---|---|---|")
    for name, seconds in times.items():
        print(f"| `tarnic {name}` | {seconds:.2f} s | {seconds / times['-t s']:.2f} |")
    print()


if __name__ == "__main__":
    main(*sys.argv[1:3])
