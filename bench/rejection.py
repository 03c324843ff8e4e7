"""Outlier rejection against the noise model: what it costs clean frames, what
it leaves of trails in moved frames, how it keeps real-looking (8-bit,
seeing-blurred) data and frames at different sky levels, and its speed beside
the plain stacks and Siril's sigma clipping.

usage: /usr/bin/python3 bench/rejection.py BUILD_DIR DATA_DIR PEERS_DIR > section.md
"""
import os
import re
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import WIDTH, HEIGHT, generate, frames_of, interleaved  # noqa: E402
from trails import FIELD, TRANSIENTS, read_ppm, residual  # noqa: E402
import normalisation  # noqa: E402

MOVED = ["-r", "1", "-x", "20"]
APERTURE, ANNULUS = 6, (9, 13)


def make(starfield, folder, extra, catalogue=None):
    os.makedirs(folder, exist_ok=True)
    more = ["-C", catalogue] if catalogue else []
    subprocess.run([starfield] + FIELD + extra + more + [os.path.join(folder, "f%02d.ppm")], check=True)
    return sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".ppm"))


def stack(tarnic, options, frames, out):
    """The stacked picture and what the run printed."""
    run = subprocess.run([tarnic] + options + ["-o", out] + frames, check=True, capture_output=True, text=True)
    return read_ppm(out), run.stdout


def stacked(printed, frames):
    """Those of frames (in the order given) that the run printed stacked: the
    reference and every frame it remapped."""
    kept, current = [], None
    for line in printed.splitlines():
        found = re.match(r'Image (\d+) - "', line)
        if found:
            current = int(found.group(1))
        if current is not None and (current == 0 or line.startswith("Remapping image")):
            kept.append(frames[current])
            current = None
    return kept


def rejected_share(printed):
    found = re.search(r"Rejected ([0-9.]+)% of values high and ([0-9.]+)% low", printed)
    return float(found.group(1)) + float(found.group(2))


def sky_spread(picture):
    """Standard deviation of the green sky, stars left out."""
    _, _, s = picture
    green = s[1::3]
    level = statistics.median(green)
    rough = 1.4826 * statistics.median(abs(v - level) for v in green)
    sky = [v for v in green if abs(v - level) <= 4 * rough]
    return statistics.pstdev(sky)


def fluxes(picture, stars):
    """Green aperture flux less the annulus median, per star."""
    width, height, s = picture
    out = []
    for x, y in stars:
        cx, cy = int(round(x)), int(round(y))
        inside, ring = 0.0, []
        for j in range(-ANNULUS[1], ANNULUS[1] + 1):
            for i in range(-ANNULUS[1], ANNULUS[1] + 1):
                r2 = i * i + j * j
                v = s[((cy + j) * width + cx + i) * 3 + 1]
                if r2 <= APERTURE * APERTURE:
                    inside += v
                elif ANNULUS[0] ** 2 <= r2 <= ANNULUS[1] ** 2:
                    ring.append(v)
        count = sum(1 for j in range(-APERTURE, APERTURE + 1) for i in range(-APERTURE, APERTURE + 1)
                    if i * i + j * j <= APERTURE * APERTURE)
        out.append(inside - count * statistics.median(ring))
    return out


def bright_stars(catalogue, width, height, least_peak):
    margin = ANNULUS[1] + 1
    stars = []
    for line in open(catalogue):
        if line.startswith("#"):
            continue
        x, y, peak = (float(v) for v in line.split())
        if peak >= least_peak and margin <= x < width - margin and margin <= y < height - margin:
            stars.append((x, y))
    return stars


def quality(tarnic, starfield, folder, peers):
    rows = []
    clean = make(starfield, os.path.join(folder, "clean"), [])
    out = os.path.join(folder, "out.ppm")
    plain, _ = stack(tarnic, [], clean, out)
    clipped, printed = stack(tarnic, ["-r", "3"], clean, out)
    rows.append(("10 clean frames: background noise of the mean, `-r 3` over plain",
                 "%.3f (%.2f %% of values rejected)" % (sky_spread(clipped) / sky_spread(plain),
                                                       rejected_share(printed))))

    moved_clean = make(starfield, os.path.join(folder, "moved_clean"), MOVED)
    moved_trail = make(starfield, os.path.join(folder, "moved_trail"), MOVED + TRANSIENTS)
    for mode in ("a", "s"):
        trails, printed = stack(tarnic, ["-t", mode, "-r", "3"], moved_trail, out)
        # Against the clean frames the run stacked: a frame with trails that
        # could not be aligned is left out, and so is its clean twin.
        kept = stacked(printed, moved_clean)
        reference, _ = stack(tarnic, ["-t", mode], kept, out)
        touched, _ = stack(tarnic, ["-t", mode], stacked(printed, moved_trail), out)
        rows.append((f"trails in 3 of 10 moved frames, `-t {mode} -r 3`, {len(kept)} stacked: largest residual, "
                     "noise units, over the sky / over the samples the trails and hits moved",
                     "%.2f / %.2f" % (residual(trails, reference, margin=30),
                                      residual(trails, reference, margin=30, touched=touched))))

    catalogue = os.path.join(folder, "catalogue.txt")
    real = make(starfield, os.path.join(folder, "eight_bit"), ["-F", "rgb8", "-V", "0.1"], catalogue)
    plain, _ = stack(tarnic, [], real, out)
    clipped, printed = stack(tarnic, ["-r", "3"], real, out)
    stars = bright_stars(catalogue, plain[0], plain[1], 3000)
    ratios = [c / p for c, p in zip(fluxes(clipped, stars), fluxes(plain, stars)) if p > 0]
    rows.append(("8-bit frames, seeing varying by 10 %: values rejected", "%.2f %%" % rejected_share(printed)))
    rows.append((f"8-bit frames, seeing varying by 10 %: star flux, `-r 3` over plain (median of {len(ratios)} stars)",
                 "%.4f" % statistics.median(ratios)))

    rising = make(starfield, os.path.join(folder, "sky_rising"), ["-G", "0.2"])
    plain, _ = stack(tarnic, [], rising, out)
    clipped, printed = stack(tarnic, ["-r", "3"], rising, out)
    rows.append(("sky rising by 20 % of its level per frame: `-r 3` against the plain mean",
                 normalisation.against_plain(clipped, plain) + "; %.2f %% rejected" % rejected_share(printed)))
    return rows + normalisation.rows(os.path.dirname(tarnic), os.path.dirname(folder))


def cost(tarnic, data, peers, cpu):
    folder = os.path.join(data, "rigid")
    generate(os.path.join(os.path.dirname(tarnic), "starfield"), folder, 8, WIDTH, HEIGHT, ["-r", "1", "-x", "40"])
    frames = frames_of(folder)
    # Outputs go elsewhere, and Siril, which stacks every TIFF of a folder,
    # reads the frames from one that holds nothing else.
    work = os.path.join(data, "out")
    only_frames = os.path.join(work, "rejection_frames")
    shutil.rmtree(only_frames, ignore_errors=True)
    os.makedirs(only_frames)
    for f in frames:
        os.symlink(f, os.path.join(only_frames, os.path.basename(f)))
    out = os.path.join(work, "out.ppm")
    commands = {
        "-t n": [tarnic, "-o", out] + frames,
        "-t n -r 3": [tarnic, "-r", "3", "-o", out] + frames,
        "-t a": [tarnic, "-t", "a", "-o", out] + frames,
        "-t a -r 3": [tarnic, "-t", "a", "-r", "3", "-o", out] + frames,
        "-t s": [tarnic, "-t", "s", "-o", out] + frames,
        "-t s -r 3": [tarnic, "-t", "s", "-r", "3", "-o", out] + frames,
    }
    if shutil.which("siril-cli"):
        commands["Siril sigma clipping 3/3"] = ["sh", os.path.join(peers, "siril_stack.sh"), "-t", "2", "--noreg",
                                                "--rej", "s 3 3", only_frames, os.path.join(work, "siril_clip.tif")]
    # Seven rounds: the clipping's extra memory makes its runs vary more.
    return interleaved(commands, work, repeats=7, cpu=cpu)


def main(build, data, peers):
    build, data, peers = (os.path.abspath(p) for p in (build, data, peers))
    tarnic, starfield = os.path.join(build, "tarnic"), os.path.join(build, "starfield")
    rows = quality(tarnic, starfield, os.path.join(data, "rejection"), peers)
    cpu = {}
    times = cost(tarnic, data, peers, cpu)
    print("## Outlier rejection against the noise model\n")
    print("Generated 800 x 600 frames, ten of one field (`bench/rejection.py`): clean; moved by up to 20 px and "
          "1 degree with two satellites, an aircraft and cosmic-ray hits in three of them; written as 8-bit "
          "samples with a seeing that varies by up to 10 % from frame to frame; with a sky that rises by 20 % of "
          "its level from each frame to the next. Then (`bench/normalisation.py`) 480 x 360 frames through the "
          "camera model (bias, dark current, vignetting): a twilight night and its flats, generated 8-bit camera "
          "frames under a turning sky, and the real all-sky set. Noise is one pixel's, from neighbouring pixels; "
          "block levels are medians of 24 x 24 pixels.\n")
    print("| measure | value |")
    print("|---|---|")
    for label, value in rows:
        print(f"| {label} | {value} |")
    print("\nSpeed, 8 frames of %d x %d 16-bit TIFF, both cores, median of 7 interleaved runs:\n" % (WIDTH, HEIGHT))
    print("| command | wall time | CPU time | ratio (wall, CPU) |")
    print("|---|---|---|---|")
    ratios = {"-t n -r 3": "-t n", "-t a -r 3": "-t a", "-t s -r 3": "-t s"}
    for name, seconds in times.items():
        base = ratios.get(name)
        ratio = "%.2f, %.2f to `%s`" % (seconds / times[base], cpu[name] / cpu[base], base) if base else ""
        siril = "Siril sigma clipping 3/3"
        if name == "-t n -r 3" and siril in times:
            ratio += "; %.2f, %.2f to Siril's" % (seconds / times[siril], cpu[name] / cpu[siril])
        label = name if name.startswith("Siril") else f"`tarnic {name}`"
        print(f"| {label} | {seconds:.2f} s | {cpu[name]:.2f} s | {ratio} |")
    print()


if __name__ == "__main__":
    main(*sys.argv[1:4])
