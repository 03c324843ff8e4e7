"""End-to-end comparison of tarnic with the decoding floor and the peer tools.

usage: /usr/bin/python3 bench/e2e.py BUILD_DIR DATA_DIR PEERS_DIR > section.md

Generates the data sets with the star-field generator (kept in DATA_DIR for
later runs), times every command interleaved (A B A B ...) so that drift on a
noisy machine cancels out, and prints a Markdown section with the medians,
their ratios to the floor and to the peers, the scaling with frames and pixels,
and the star sharpness of the aligned stacks.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

REPEATS = 3
FRAMES = 8
WIDTH, HEIGHT = 3000, 2000


def log(message):
    print(message, file=sys.stderr, flush=True)


def generate(starfield, folder, frames, width, height, motion):
    """Frames of one star field as TIFF, made once."""
    done = os.path.join(folder, "done")
    if os.path.exists(done):
        return
    os.makedirs(folder, exist_ok=True)
    stars = str(width * height // 1000)
    args = [starfield, "-n", str(frames), "-W", str(width), "-H", str(height), "-S", stars,
            "-b", "3000,60000", "-p", "50", "-s", "11"] + motion
    log(f"generating {folder}")
    subprocess.run(args + [os.path.join(folder, "f%02d.tif")], check=True)
    open(done, "w").close()


def frames_of(folder, count=None):
    names = sorted(f for f in os.listdir(folder) if f.endswith(".tif"))
    return [os.path.join(folder, f) for f in names[:count]]


def run_timed(command, workdir):
    """Wall time of one run, in seconds; fails loudly when the command fails."""
    start = time.perf_counter()
    result = subprocess.run(command, cwd=workdir, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} failed: {result.stderr.decode()[-500:]}")
    return elapsed


def interleaved(commands, workdir):
    """Median wall time of each named command, the commands taking turns."""
    times = {name: [] for name in commands}
    for _ in range(REPEATS):
        for name, command in commands.items():
            times[name].append(run_timed(command, workdir))
    return {name: statistics.median(t) for name, t in times.items()}


def main(build, data, peers):
    build, data, peers = (os.path.abspath(p) for p in (build, data, peers))
    tarnic = os.path.join(build, "tarnic")
    floor = os.path.join(build, "bench", "floor")
    starfield = os.path.join(build, "starfield")
    sharpness = os.path.join(build, "bench", "sharpness")
    out = os.path.join(data, "out")
    os.makedirs(out, exist_ok=True)

    rigid = os.path.join(data, "rigid16")
    trails = os.path.join(data, "trails16")
    generate(starfield, rigid, 16, WIDTH, HEIGHT, ["-r", "1", "-x", "40"])
    generate(starfield, trails, 16, WIDTH, HEIGHT, ["-R", "0.1"])
    sizes = {1: (1224, 816), 6: (WIDTH, HEIGHT), 24: (6000, 4000)}
    for mpix, (w, h) in sizes.items():
        if mpix != 6:
            generate(starfield, os.path.join(data, f"rigid{mpix}mp"), FRAMES, w, h, ["-r", "1", "-x", "40"])

    # The main comparison: 8 frames of 6 Mpixel, 16-bit RGB TIFF.
    work = os.path.join(data, "set8")
    if not os.path.isdir(work):
        os.makedirs(os.path.join(work, "rigid"))
        os.makedirs(os.path.join(work, "trails"))
        for f in frames_of(rigid, FRAMES):
            os.symlink(f, os.path.join(work, "rigid", os.path.basename(f)))
        for f in frames_of(trails, FRAMES):
            os.symlink(f, os.path.join(work, "trails", os.path.basename(f)))
    rigid8 = frames_of(os.path.join(work, "rigid"))
    trails8 = frames_of(os.path.join(work, "trails"))

    commands = {}
    for ext in ("ppm", "tif"):
        commands[f"floor {ext}"] = [floor, os.path.join(out, f"floor.{ext}")] + rigid8
        commands[f"tarnic -t n {ext}"] = [tarnic, "-t", "n", "-o", os.path.join(out, f"n.{ext}")] + rigid8
        commands[f"tarnic -t t {ext}"] = [tarnic, "-t", "t", "-o", os.path.join(out, f"t.{ext}")] + trails8
        commands[f"tarnic -t a {ext}"] = [tarnic, "-t", "a", "-o", os.path.join(out, f"a.{ext}")] + rigid8
    im = shutil.which("convert-im6.q16")
    siril = shutil.which("siril-cli")
    if im:
        for ext in ("ppm", "tif"):
            commands[f"ImageMagick mean {ext}"] = ["sh", os.path.join(peers, "im_stack.sh"), "-t", "1", "mean",
                                                   os.path.join(work, "rigid"), os.path.join(out, f"im_mean.{ext}")]
            commands[f"ImageMagick max {ext}"] = ["sh", os.path.join(peers, "im_stack.sh"), "-t", "1", "max",
                                                  os.path.join(work, "trails"), os.path.join(out, f"im_max.{ext}")]
    if siril:
        commands["Siril register + mean"] = ["sh", os.path.join(peers, "siril_stack.sh"), "-t", "1",
                                             os.path.join(work, "rigid"), os.path.join(out, "siril.tif")]
    log("timing the main comparison")
    t = interleaved(commands, out)

    # Scaling: frames at 6 Mpixel, pixels at 8 frames (PPM output).
    scaling = {}
    for mode in ("n", "t", "a"):
        source = trails if mode == "t" else rigid
        for count in (4, 8, 16):
            scaling[(mode, "frames", count)] = [tarnic, "-t", mode, "-o", os.path.join(out, "s.ppm")] + \
                frames_of(source, count)
        for mpix in (1, 24):
            scaling[(mode, "mpix", mpix)] = [tarnic, "-t", mode, "-o", os.path.join(out, "s.ppm")] + \
                frames_of(os.path.join(data, f"rigid{mpix}mp"))
    log("timing the scaling runs")
    s = interleaved(scaling, out)
    for mode in ("n", "t", "a"):
        s[(mode, "mpix", 6)] = s[(mode, "frames", 8)]

    # Star sharpness of the aligned stacks, measured at the reference's stars.
    pictures = [os.path.join(out, "a.tif")] + ([os.path.join(out, "siril.tif")] if siril else [])
    sharp = subprocess.run([sharpness, rigid8[0], rigid8[0]] + pictures, capture_output=True, text=True,
                           check=True).stdout.split("\n")
    fwhm = {line.split()[0]: (float(line.split()[1]), int(line.split()[2])) for line in sharp if line}

    print("## End to end: 8 frames of 3000 x 2000 16-bit RGB TIFF\n")
    print("Generated by `build/starfield` (rigid motion up to 1 degree and 40 px for `-t n` and `-t a`, "
          "a turning sky for `-t t`). Wall times, median of "
          f"{REPEATS} interleaved runs; peers with one thread (`../shared/peers/`).\n")
    print("| command | wall time | per frame | ratio to the floor | ratio to the peer |")
    print("|---|---|---|---|---|")
    for name, value in t.items():
        ext = name.split()[-1]
        floor_time = t.get(f"floor {ext}")
        peer = None
        if name.startswith("tarnic -t n"):
            peer = t.get(f"ImageMagick mean {ext}")
        elif name.startswith("tarnic -t t"):
            peer = t.get(f"ImageMagick max {ext}")
        elif name.startswith("tarnic -t a"):
            peer = t.get("Siril register + mean")
        ratio_floor = f"{value / floor_time:.2f}" if floor_time and not name.startswith(("floor", "Siril")) else ""
        ratio_peer = f"{value / peer:.2f}" if peer else ""
        print(f"| `{name}` | {value:.2f} s | {value / FRAMES:.3f} s | {ratio_floor} | {ratio_peer} |")
    print()
    print("Star sharpness (median FWHM of the reference frame's bright stars, px):\n")
    print("| picture | FWHM | stars |")
    print("|---|---|---|")
    labels = {rigid8[0]: "one frame", os.path.join(out, "a.tif"): "tarnic -t a",
              os.path.join(out, "siril.tif"): "Siril register + mean"}
    for path, (value, count) in fwhm.items():
        print(f"| {labels.get(path, path)} | {value:.3f} | {count} |")
    print()
    print("## Scaling (PPM output)\n")
    print("| mode | 4 frames | 8 frames | 16 frames | 1 Mpixel | 6 Mpixel | 24 Mpixel |")
    print("|---|---|---|---|---|---|---|")
    for mode in ("n", "t", "a"):
        cells = [f"{s[(mode, 'frames', c)]:.2f} s" for c in (4, 8, 16)]
        cells += [f"{s[(mode, 'mpix', m)]:.2f} s" for m in (1, 6, 24)]
        print(f"| `-t {mode}` | " + " | ".join(cells) + " |")
    print()
    print("Frames at 6 Mpixel; pixels at 8 frames. Linear growth doubles the time from 4 to 8 "
          "and from 8 to 16 frames, and multiplies it by 4 from 6 to 24 Mpixel.\n")


if __name__ == "__main__":
    main(*sys.argv[1:4])
