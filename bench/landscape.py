"""Tripod nights with a landscape: an 18 mm night with a ground over its
lower third stacked with -t s -g (the ground kept from the frames held still,
the sky aligned) against -t n and -t s alone; a night whose frames expose
70 % of each interval drawn as trails with -t t and -t c (gaps filled); and
what -g and -t c cost.

usage: /usr/bin/python3 bench/landscape.py BUILD_DIR DATA_DIR > section.md
"""
import os
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wide_field import REGIONS, regions  # noqa: E402

# 18 mm on APS-C at 4.3 um, as the wide-field page, with a landscape over the lower third.
NIGHT = ["-L", "4186", "-J", "-0.05", "-W", "5184", "-H", "3456", "-n", "10", "-I", "60", "-S", "20000",
         "-f", "1.2", "-s", "3", "-g", "0.33"]
# Half the size, frames 30 s apart, each exposing 70 % of its interval.
TRAILS = ["-L", "2093", "-J", "-0.05", "-W", "2592", "-H", "1728", "-n", "20", "-I", "30", "-u", "0.7",
          "-S", "8000", "-f", "1.2", "-s", "7", "-g", "0.3"]
COST_PAIRS = 3


def generate(build, folder, options, extra):
    if os.path.exists(os.path.join(folder, "mask.png")):
        return
    os.makedirs(folder, exist_ok=True)
    subprocess.run([os.path.join(build, "starfield"), *options, "-M", os.path.join(folder, "mask.png"), *extra,
                    os.path.join(folder, "f%02d.tif")], check=True)


def frames(folder):
    return sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.startswith("f") and f.endswith(".tif"))


def timed(command):
    """Wall seconds and CPU seconds (user + system) of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    run = subprocess.run(command, capture_output=True, text=True, check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), run.stdout


def cost(commands):
    """Medians of wall and CPU seconds, the commands interleaved."""
    times = {name: ([], []) for name in commands}
    for _ in range(COST_PAIRS):
        for name, command in commands.items():
            wall, cpu, _ = timed(command)
            times[name][0].append(wall)
            times[name][1].append(cpu)
    return {name: (statistics.median(w), statistics.median(c)) for name, (w, c) in times.items()}


def measure(build, *args):
    return subprocess.run([os.path.join(build, "bench", args[0]), *args[1:]], capture_output=True, text=True,
                          check=True).stdout.split()


def main():
    build, data = sys.argv[1], sys.argv[2]
    tarnic = os.path.join(build, "tarnic")
    out = os.path.join(data, "out")
    os.makedirs(out, exist_ok=True)

    folder = os.path.join(data, "landscape18")
    generate(build, folder, NIGHT, [])
    night = frames(folder)
    mask = os.path.join(folder, "mask.png")
    stacks = {}
    for name, options in (("n", ["-t", "n"]), ("s", ["-t", "s"]), ("g", ["-t", "s", "-g"]),
                          ("G", ["-t", "s", "-G", mask])):
        stacks[name] = os.path.join(out, f"landscape_{name}.tif")
        printed = subprocess.run([tarnic, *options, "-o", stacks[name], *night], capture_output=True, text=True,
                                 check=True).stdout
        if name == "g":
            found = [line for line in printed.splitlines() if line.startswith("Ground held still")]
            residuals = [float(line.split()[-2]) for line in printed.splitlines() if line.startswith("Matched ")]
    print("## Tripod nights with a landscape (-g, -t c)\n")
    print("Generated 18 mm frames as on the wide-field page (5184 x 3456, focal 4186 px, k1 -0.05, ten frames "
          "60 s apart) with a dark textured landscape over the lower third: hills, trees up to a tenth of the "
          "frame's height, lit 5 % differently from frame to frame (`starfield -g 0.33 -M`).\n")
    print(f"`-t s` fits every later frame on the sky through the lens, RMS residual "
          f"{min(residuals):.3f}-{max(residuals):.3f} px (the build before this round, on a half-size night: "
          f"0.8-1.6 px, two frames fitted on the ground: the landscape's texture widened every star's "
          f"centroid window). "
          f"`-g`: {found[0] if found else 'no ground found'} (truth: the generator's mask).\n")
    print("| stack | mask agreement with the truth | ground detail / `-t n`'s | seam band detail / `-t n`'s |")
    print("|---|---|---|---|")
    for name, label in (("g", "`-t s -g` (found)"), ("G", "`-t s -G mask` (the truth)")):
        figures = dict(zip(*[iter(measure(build, "ground_measure", mask, stacks[name], stacks["n"],
                                          stacks["s"]))] * 2))
        print(f"| {label} | {float(figures['agreement']):.4f} | {float(figures['ground']):.4f} | "
              f"{float(figures['seam']):.4f} |")
    print("\nAgreement: the share of pixels whose side, read from which of the two stacks the result took, is the "
          "truth's (the seam's few pixels on the sky's side count against it). Detail: the luminance less its "
          "3 x 3 mean, squared, summed on the ground 10 px and more from the skyline, and within 10 px of it "
          "(bars: ground at least 0.95; the seam no less sharp than the stack held still).\n")
    print("The sky's stars against the first frame, per ninth of the field (`bench/sharpness -r 8000`), "
          "`-t s -g` beside `-t s`:\n")
    print("| region | stars | FWHM ratio, -g | FWHM ratio, -t s | elongation, -g |")
    print("|---|---|---|---|---|")
    with_ground = regions(build, 8000, night[0], stacks["g"])
    alone = regions(build, 8000, night[0], stacks["s"])
    for r, a in zip(with_ground, alone):
        if int(r[1]) == 0:
            print(f"| {REGIONS[int(r[0])]} | 0 (ground) | | | |")
            continue
        print(f"| {REGIONS[int(r[0])]} | {r[1]} | {float(r[2]):.3f} | {float(a[2]):.3f} | {float(r[3]):.3f} |")
    worst = max(float(r[2]) for r in with_ground if int(r[1]) > 0)
    print(f"\nLargest FWHM ratio of a region with stars: {worst:.3f} (bar 1.10).\n")

    commands = {"-t s": [tarnic, "-t", "s", "-o", os.path.join(out, "cost_s.tif"), *night],
                "-t s -g": [tarnic, "-t", "s", "-g", "-o", os.path.join(out, "cost_g.tif"), *night]}
    times = cost(commands)
    ws, cs = times["-t s"]
    wg, cg = times["-t s -g"]
    print(f"Cost, {COST_PAIRS} interleaved runs each, medians, both cores: `-t s` {ws:.2f} s wall / {cs:.2f} CPU-s, "
          f"`-t s -g` {wg:.2f} s / {cg:.2f} CPU-s: **{wg / ws:.2f}x wall, {cg / cs:.2f}x CPU** (bar 1.3x).\n")

    folder = os.path.join(data, "trails70")
    generate(build, folder, TRAILS, ["-C", os.path.join(folder, "stars.txt")])
    night = frames(folder)
    mask = os.path.join(folder, "mask.png")
    stars = os.path.join(folder, "stars.txt")
    specified = os.path.join(out, "trails_t.png")
    subprocess.run([tarnic, "-t", "t", "-o", specified, *night], capture_output=True, check=True)
    print("Trails: 20 generated frames 30 s apart (the 18 mm frames halved: 2592 x 1728, focal 2093 px), each exposing "
          "70 % of its interval (`starfield -u 0.7`), a landscape over the lower 30 %. Along the true paths of the "
          "50 brightest stars that stay in the sky (`bench/trail_gaps`: the brightest point within a pixel across "
          "the path, averaged over a pixel along it, 3 px at each end left out), the dimmest point over the "
          "trail's median, above the sky:\n")
    print("| trails | median over the trails | the worst trail | ground identical to `-t t`'s |")
    print("|---|---|---|---|")
    for label, options in (("`-t t` (specified)", ["-t", "t"]), ("`-t c`", ["-t", "c"]),
                           ("`-t c -G mask`", ["-t", "c", "-G", mask])):
        picture = os.path.join(out, "trails_" + "_".join(o.strip("-") for o in options[1:2]) + ".png")
        if options[1] != "t":
            subprocess.run([tarnic, *options, "-o", picture, *night], capture_output=True, check=True)
        figures = measure(build, "trail_gaps", stars, "0.7", mask, picture if options[1] != "t" else specified,
                          specified)
        values = dict(zip(figures[0::2], figures[1::2]))
        print(f"| {label} | {float(values['median_ratio']):.3f} | {float(values['worst_ratio']):.3f} | "
              f"{100 * float(values['ground_identical']):.2f} % |")
    print("\n(bar: every trail's dimmest point at least 0.8 of its median; the ground identical to `-t t`'s.)\n")
    times = cost({"-t t": [tarnic, "-t", "t", "-o", os.path.join(out, "cost_t.png"), *night],
                  "-t c": [tarnic, "-t", "c", "-o", os.path.join(out, "cost_c.png"), *night]})
    wt, ct = times["-t t"]
    wc, cc = times["-t c"]
    print(f"Cost: `-t t` {wt:.2f} s wall / {ct:.2f} CPU-s, `-t c` {wc:.2f} s / {cc:.2f} CPU-s "
          f"({wc / wt:.1f}x wall): each gap is drawn at half-pixel steps of the sky's motion, and every frame's "
          f"stars are found and matched with the frame before.\n")
    print("Fading trails (`-C`) and the growing trails (`-T`) have an end-to-end test each "
          "(`Trails.FadeLikeComets`, `Tarnic.TrailsGrowFrameByFrameIntoAFolder`).\n")


if __name__ == "__main__":
    main()
