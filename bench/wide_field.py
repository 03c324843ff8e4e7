"""Aligning on every star (-t s) under a turning sky: how sharp and round the
stack's stars are in every ninth of the field against one frame's, on
generated 18 mm frames and on the real all-sky sequence; how close each
frame's printed mapping comes to the generator's truth; and what -t s costs
beside an earlier build (BASELINE_TARNIC) on the rigid benchmark set.

usage: /usr/bin/python3 bench/wide_field.py BUILD_DIR DATA_DIR > section.md
"""
import math
import shutil
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e import frames_of  # noqa: E402

# 18 mm on APS-C at 4.3 um: 5184 x 3456 px, focal 4186 px, barrel distortion,
# pointing at declination 60, ten frames a minute apart.
WIDE = ["-L", "4186", "-J", "-0.05", "-W", "5184", "-H", "3456", "-n", "10", "-I", "60", "-S", "20000",
        "-f", "1.2", "-s", "3"]
# A tracking mount: ten frames drifting by up to 0.8 px, 300 hot pixels.
RAW = ["-W", "1500", "-H", "1000", "-n", "5", "-S", "300", "-p", "1000", "-e", "20", "-r", "1", "-x", "15", "-s", "5"]
TRACKED = ["-W", "1500", "-H", "1000", "-n", "10", "-S", "800", "-x", "0.8", "-p", "300", "-f", "1.5", "-s", "21"]
# A fixed all-sky camera: an equidistant fisheye pointing at the zenith at
# latitude 40, a horizon of hills and trees over the lowest 12 % of the
# frame, 100 hot pixels, eight frames 10 s to 5 min apart; stacked in order
# and out of order.
FISHEYE = ["-L", "300", "-Y", "-P", "40", "-W", "1024", "-H", "768", "-I", "10,30,60,120,300", "-S", "3000",
           "-g", "0.12", "-p", "100", "-n", "8", "-f", "1.2"]
FISHEYE_DISC = 390  # px from the centre: 75 degrees from the zenith
SHUFFLED = [0, 5, 2, 7, 1, 6, 3, 4]
REGIONS = ["top left", "top", "top right", "left", "centre", "right", "bottom left", "bottom", "bottom right"]
SPEED_PAIRS = 5


def tarnic(build, args):
    return subprocess.run([os.path.join(build, "tarnic"), *args], capture_output=True, text=True, check=True)


def regions(build, floor, reference, picture):
    out = subprocess.run([os.path.join(build, "bench", "sharpness"), "-r", str(floor), reference, picture],
                         capture_output=True, text=True, check=True).stdout
    return [line.split() for line in out.splitlines()]


def homography(h, x, y):
    w = h[6] * x + h[7] * y + h[8]
    return (h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w


def distort(lens, x, y):
    cx, cy, scale, k1 = lens
    f = 1 + k1 * (((x - cx) / scale) ** 2 + ((y - cy) / scale) ** 2)
    return cx + (x - cx) * f, cy + (y - cy) * f


def undistort(lens, x, y):
    cx, cy, scale, k1 = lens
    px, py = x, y
    for _ in range(20):
        f = 1 + k1 * (((px - cx) / scale) ** 2 + ((py - cy) / scale) ** 2)
        px, py = cx + (x - cx) / f, cy + (y - cy) / f
    return px, py


MAPPING_WORDS = ("Rotate", "Projective", "LensProjective", "Cubic", "SkyTurn")


def sky_turn(v, x, y):
    """A frame position through a fixed camera's lens, turned about the pole
    (v: centre, focal, shape, k1, pole, degrees), back through the lens."""
    cx, cy, focal, shape, k1 = v[:5]
    pole, angle = v[5:8], math.radians(v[8])
    dx, dy = x - cx, y - cy
    across = math.hypot(dx, dy)
    g = across / focal
    for _ in range(20):
        g -= (g * (1 + k1 * g * g) - across / focal) / (1 + 3 * k1 * g * g)
    theta = math.atan(shape * g) / shape if shape > 1e-8 else (
        math.asin(-shape * g) / -shape if shape < -1e-8 else g)
    d = [dx / across * math.sin(theta), dy / across * math.sin(theta), math.cos(theta)] if across else [0, 0, 1]
    c, s = math.cos(angle), math.sin(angle)
    along = sum(p * q for p, q in zip(pole, d)) * (1 - c)
    cross = [pole[1] * d[2] - pole[2] * d[1], pole[2] * d[0] - pole[0] * d[2], pole[0] * d[1] - pole[1] * d[0]]
    t = [d[i] * c + cross[i] * s + pole[i] * along for i in range(3)]
    off = math.atan2(math.hypot(t[0], t[1]), t[2])
    g = math.tan(shape * off) / shape if shape > 1e-8 else (
        math.sin(-shape * off) / -shape if shape < -1e-8 else off)
    r = focal * g * (1 + k1 * g * g)
    side = math.hypot(t[0], t[1])
    return (cx + r * t[0] / side, cy + r * t[1] / side) if side else (cx, cy)


def printed_mapping(line):
    """The mapping a line of -t s prints, as a function of (x, y), or None."""
    f = line.split()
    if line.startswith("Rotate "):
        a = float(f[1]) / 57.2957795131
        tx, ty = float(f[6].strip("(,")), float(f[7].strip(")"))
        return lambda x, y, c=math.cos(a), s=math.sin(a): (c * x - s * y + tx, c * y + s * x + ty)
    if line.startswith("Projective "):
        return lambda x, y, h=[float(v) for v in f[1:10]]: homography(h, x, y)
    v = [float(x) for x in f[1:]] if f and f[0] in MAPPING_WORDS else None
    if line.startswith("LensProjective "):
        return lambda x, y: distort(v[:4], *homography(v[4:13], *undistort(v[:4], x, y)))
    if line.startswith("Cubic "):
        def cubic(x, y):
            u, w = (x - v[0]) / v[2], (y - v[1]) / v[2]
            t = [1, u, w, u * u, u * w, w * w, u ** 3, u * u * w, u * w * w, w ** 3]
            return sum(p * q for p, q in zip(v[3:13], t)), sum(p * q for p, q in zip(v[13:23], t))
        return cubic
    if line.startswith("SkyTurn "):
        return lambda x, y: sky_turn(v, x, y)
    return None


def last_mappings(out):
    """Each file's last printed mapping, by the "Image" line before it (a run
    stacked again on its sky motion, or placing a frame on it, prints the
    frame's mapping again)."""
    found, current = {}, None
    for line in out.splitlines():
        if line.startswith("Image "):
            current = line.split('"')[1]
        mapping = printed_mapping(line)
        if mapping and current:
            found[current] = mapping
    return found


def mapping_errors(out, truth_path, frames, reach=float("inf")):
    """The largest distance from the truth over each later frame's grid
    (frames: the files in the truth's frame order), within reach of the
    frame's centre."""
    mappings = last_mappings(out)
    points = [line.split() for line in open(truth_path) if not line.startswith("#")]
    width, height = max(float(p[1]) for p in points), max(float(p[2]) for p in points)
    errors = [0.0] * (len(frames) - 1)
    for k, x, y, rx, ry in points:
        k, x, y = int(k), float(x), float(y)
        if 0 < k < len(frames) and math.hypot(x - width / 2, y - height / 2) <= reach:
            if frames[k] not in mappings:
                errors[k - 1] = float("nan")
                continue
            gx, gy = mappings[frames[k]](x, y)
            errors[k - 1] = max(errors[k - 1], math.hypot(gx - float(rx), gy - float(ry)))
    return errors


def against_astroalign(out, table):
    """(file, our angle, astroalign's angle, largest distance within 420 px
    of the disc's centre) for every frame fitted rigidly."""
    theirs = {}
    for line in open(table):
        if not line.startswith("#"):
            f = line.split()
            theirs[f[0]] = tuple(float(v) for v in f[1:4])

    def moved(t, x, y):
        a = t[0] / 57.2957795131
        return math.cos(a) * x - math.sin(a) * y + t[1], math.sin(a) * x + math.cos(a) * y + t[2]
    rows, current = [], None
    for line in out.splitlines():
        if line.startswith("Image "):
            current = os.path.basename(line.split('"')[1])
        elif line.startswith("Rotate ") and current in theirs:
            f = line.split()
            ours = (float(f[1]), float(f[6].strip("(,")), float(f[7].strip(")")))
            worst = 0.0
            for x in range(300, 1101, 50):
                for y in range(150, 951, 50):
                    if math.hypot(x - 700, y - 540) <= 420:
                        p, q = moved(ours, x, y), moved(theirs[current], x, y)
                        worst = max(worst, math.hypot(p[0] - q[0], p[1] - q[1]))
            rows.append((current, ours[0], theirs[current][0], worst))
    return rows


def truth_run(build, data, name, args, extension=".tif"):
    """A generated run of 1500 x 1000 frames with rigid truth, stacked with
    -t s: (the "frames stacked" line, the stars found in the reference,
    each stacked frame's largest error over the frame's corners, px, and the
    fits' RMS residuals)."""
    folder = os.path.join(data, name)
    truth = os.path.join(folder, "truth.txt")
    if not os.path.exists(truth):
        os.makedirs(folder, exist_ok=True)
        subprocess.run([os.path.join(build, "starfield"), *args, "-T", truth,
                        os.path.join(folder, "f%02d" + extension)], check=True)
    frames = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(extension))
    out = tarnic(build, ["-t", "s", "-o", os.path.join(data, "out", name + ".tif"), *frames]).stdout
    stacked = [line for line in out.splitlines() if line.endswith("frames stacked")][0]
    found = [line.split()[1] for line in out.splitlines() if line.startswith("Found ")][0]
    printed = [line.split() for line in out.splitlines() if line.startswith("Rotate ")]
    true = [line.split() for line in open(truth) if not line.startswith("#")][1:]
    residuals = [float(line.split()[-2]) for line in out.splitlines() if line.startswith("Matched ")]
    errors = []
    for f, t in zip(printed, true):
        ours = (float(f[1]), float(f[6].strip("(,")), float(f[7].strip(")")))
        theirs = (float(t[1]), float(t[2]), float(t[3]))
        worst = 0.0
        for x in (0, 1499):
            for y in (0, 999):
                p, q = [(math.cos(a) * x - math.sin(a) * y + tx, math.sin(a) * x + math.cos(a) * y + ty)
                        for a, tx, ty in ((ours[0] / 57.2957795131, ours[1], ours[2]),
                                          (theirs[0] / 57.2957795131, theirs[1], theirs[2]))]
                worst = max(worst, math.hypot(p[0] - q[0], p[1] - q[1]))
        errors.append(worst)
    return stacked, found, errors, residuals


def region_table(rows, single, before=None):
    """rows per region: index, stars, FWHM ratio, elongation ratio; before
    the same of the earlier build (BASELINE_TARNIC)."""
    if before:
        print("| region | stars | FWHM stack / frame | elongation stack / frame | earlier build: FWHM | elongation |")
        print("|---|---|---|---|---|---|")
        for r, b in zip(rows, before):
            print(f"| {REGIONS[int(r[0])]} | {r[1]} | {r[2]} | {r[3]} | {b[2]} | {b[3]} |")
    else:
        print("| region | stars | FWHM stack / frame | elongation stack / frame |")
        print("|---|---|---|---|")
        for r in rows:
            print(f"| {REGIONS[int(r[0])]} | {r[1]} | {r[2]} | {r[3]} |")
    centre = float(rows[4][2])
    worst = max(abs(float(r[2]) / centre - 1) for r in rows if int(r[1]) > 0)
    elongation = max(float(r[3]) for r in rows if int(r[1]) > 0)
    print(f"\nLargest departure of a region's FWHM ratio from the centre's: {100 * worst:.1f} % (bar 10 %); "
          f"largest elongation ratio {elongation:.3f} (bar 1.15). {single}\n")


def fisheye_run(build, data, baseline):
    """The generated all-sky run, in order and out of order, by this build
    and the baseline: rows of (order, build, the stacked line, each frame's
    largest error over the disc, the largest over the whole frame)."""
    folder = os.path.join(data, "fisheye")
    truth = os.path.join(folder, "truth.txt")
    if not os.path.exists(truth):
        os.makedirs(folder, exist_ok=True)
        subprocess.run([os.path.join(build, "starfield"), *FISHEYE, "-T", truth, os.path.join(folder, "f%d.tif")],
                       check=True)
    frames = [os.path.join(folder, f"f{k}.tif") for k in range(len(SHUFFLED))]
    builds = [("this build", os.path.join(build, "tarnic"))] + ([("before", baseline)] if baseline else [])
    rows = []
    for order, indices in (("in order", range(len(frames))), ("out of order", SHUFFLED)):
        for name, binary in builds:
            out = subprocess.run([binary, "-t", "s", "-o", os.path.join(data, "out", "fisheye.tif"),
                                  *[frames[k] for k in indices]], capture_output=True, text=True, check=True).stdout
            stacked = [line for line in out.splitlines() if line.endswith("frames stacked")][0]
            disc = mapping_errors(out, truth, frames, FISHEYE_DISC)
            whole = mapping_errors(out, truth, frames)
            motion = [line for line in out.splitlines() if line.startswith("The sky turns")]
            rows.append((order, name, stacked, disc, max((e for e in whole if not math.isnan(e)), default=0.0),
                         motion[0] if motion else ""))
    return rows


def main():
    build, data = sys.argv[1], sys.argv[2]
    here = os.path.dirname(os.path.abspath(__file__))
    folder = os.path.join(data, "wide18")
    if not os.path.exists(os.path.join(folder, "truth.txt")):
        os.makedirs(folder, exist_ok=True)
        subprocess.run([os.path.join(build, "starfield"), *WIDE, "-T", os.path.join(folder, "truth.txt"),
                        os.path.join(folder, "f%02d.tif")], check=True)
    frames = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".tif"))
    stack = os.path.join(data, "out", "wide18_s.tif")
    os.makedirs(os.path.dirname(stack), exist_ok=True)
    run = tarnic(build, ["-t", "s", "-o", stack, *frames])
    baseline = os.environ.get("BASELINE_TARNIC")
    before = None
    if baseline:
        earlier_stack = os.path.join(data, "out", "wide18_before.tif")
        subprocess.run([baseline, "-t", "s", "-o", earlier_stack, *frames], capture_output=True, check=True)
        before = regions(build, 8000, frames[0], earlier_stack)
    print("## Wide-angle and all-sky frames (-t s)\n")
    print("Generated 18 mm frames (5184 x 3456, focal 4186 px, k1 -0.05, declination 60, ten frames 60 s apart), "
          "stacked with `-t s`, against the first frame (the grid of the result), per ninth of the field "
          "(`bench/sharpness -r`), medians over the stars peaking above 8000 ADU"
          + (", beside an earlier build" if before else "") + ":\n")
    region_table(regions(build, 8000, frames[0], stack), "", before)
    kinds = [line.split()[0] for line in run.stdout.splitlines() if line.split()[:1] and
             line.split()[0] in MAPPING_WORDS]
    lens = [line.split()[4] for line in run.stdout.splitlines() if line.startswith("LensProjective ")]
    errors = mapping_errors(run.stdout, os.path.join(folder, "truth.txt"), frames)
    print(f"Mappings chosen: {', '.join(kinds)}. Largest error of a frame's mapping over the truth's 9 x 9 grid, "
          f"corners included: {max(errors):.3f} px (median over frames {statistics.median(errors):.3f} px).")
    if lens:
        truth_k1 = -0.05 * (math.hypot(5184, 3456) / 2 / 4186) ** 2
        print(f"The run's lens estimate, k1 in units of the half diagonal: {lens[0]} after the first frame that "
              f"departed from rigid, {lens[-1]} at the end; the generator's {truth_k1:.5f}.")
    print()

    print("A generated all-sky camera's run (an equidistant fisheye of focal 300 px pointing at the zenith at "
          "latitude 40, 1024 x 768, 3000 stars, a horizon of hills and trees over the lowest 12 % of the frame, 100 "
          "hot pixels; eight frames 10 s, 30 s, 1 min, 2 min and 5 min apart), stacked in file order and out of order "
          f"({', '.join(f'f{k}' for k in SHUFFLED)}); each later frame's largest error over the truth's grid within "
          f"75 degrees of the zenith ({FISHEYE_DISC} px), frames f1 to f7, and over the whole frame:\n")
    print("| order | build | stacked | largest error over the disc, px (bar 0.1) | whole frame, px |")
    print("|---|---|---|---|---|")
    rows = fisheye_run(build, data, baseline)
    for order, name, stacked, disc, whole, _ in rows:
        errors = ", ".join("left out" if math.isnan(e) else f"{e:.3f}" for e in disc)
        print(f"| {order} | {name} | {stacked} | {errors} | {whole:.3f} |")
    print(f"\nThis build, in order: \"{rows[0][5]}\" (the generator's lens: focal 300 px, an equidistant fisheye, "
          "shape 0, k1 0). Out of order, f1 (10 s after the reference, met after frames that turned) moved too little "
          "to tell its sky from the horizon and the hot pixels; it is held back and placed on the run's sky motion.\n")

    stacked, _, errors, _ = truth_run(build, data, "tracked", TRACKED)
    print(f"A tracking mount's run (generated: ten frames of 1500 x 1000 drifting by up to 0.8 px, 300 hot pixels "
          f"that hold still): {stacked}; largest error of a frame's transform over the frame's corners "
          f"{max(errors):.4f} px (bar 0.02).\n")
    raw = truth_run(build, data, "raw", RAW, ".dng")
    developed = truth_run(build, data, "raw_developed", RAW)
    print(f"Raw camera frames (generated: five frames of 1500 x 1000 turned by up to 1 degree and shifted by up to "
          f"15 px, 300 stars, 1000 hot pixels, high ISO, written as 12-bit RGGB DNG whose colour matrix is linear "
          f"sRGB's, and decoded through LibRaw): {raw[0]}, {raw[1]} stars found in the reference (most of them hot "
          f"pixels, which demosaicing turns into coloured blobs); each frame's largest error over its corners "
          f"{', '.join('%.3f' % e for e in raw[2])} px (bar 0.05), the stars' RMS scatter about the fits "
          f"{min(raw[3]):.2f}-{max(raw[3]):.2f} px. The same frames as 16-bit TIFF: {developed[0]}, "
          f"{developed[1]} stars found, {', '.join('%.3f' % e for e in developed[2])} px, scatter "
          f"{min(developed[3]):.2f}-{max(developed[3]):.2f} px. (With an identity colour matrix, whose conversion "
          f"to sRGB leaves the channel sum mostly the sparse red pixels', the raw frames landed 0.021-0.063 px "
          f"off.)\n")

    allsky = os.path.join(here, "..", "..", "shared", "data", "real", "umd-allsky")
    if os.path.isdir(allsky):
        pngs = sorted(os.path.join(allsky, f) for f in os.listdir(allsky) if f.endswith(".png"))
        out = os.path.join(data, "out", "allsky_s.tif")
        run = tarnic(build, ["-t", "s", "-o", out, *pngs])
        stacked = [line for line in run.stdout.splitlines() if line.endswith("frames stacked")]
        left = [line.split(": ", 1)[1] for line in run.stdout.splitlines() if line.startswith("Unable to align")]
        held = sum(1 for line in run.stdout.splitlines() if line.startswith("Frame held back"))
        one_motion = any(line.startswith("The sky turns") for line in run.stdout.splitlines())
        print(f"The real all-sky sequence (`umd-allsky`, 10 frames): {stacked[0]}"
              + (f"; the others left out because {'; '.join(sorted(set(left)))}" if left else "")
              + (f"; {held} held back until later frames showed the stars fixed to the camera, then matched apart "
                 f"from them" if held else "")
              + ("; stacked again on the run's one sky motion" if one_motion else
                 "; no one sky motion fitted: the stars scatter 1.3-1.4 px about each frame's own fit and moved at "
                 "most 12 px, under the ten times that scatter that fixing the lens and the pole needs, so each "
                 "frame keeps its own mapping") + ".\n")
        print("Each stacked frame's rigid fit against astroalign's similarity (`astroalign_transforms.txt`, "
              "itself 0.4-0.9 px RMS on this fisheye), largest distance over the sky's disc:\n")
        print("| frame | tarnic degrees | astroalign degrees | largest distance, px |")
        print("|---|---|---|---|")
        for name, ours, theirs, distance in against_astroalign(run.stdout, os.path.join(allsky,
                                                                                          "astroalign_transforms.txt")):
            print(f"| {name} | {ours:.4f} | {theirs:.4f} | {distance:.2f} |")
        print()
        rows = regions(build, 5000, pngs[0], out)
        region_table(rows, "The peaks are the reference frame's brightest, fixed features among them, which the "
                           "sky-aligned stack trails (the elongation); regions without stars (outside the "
                           "fisheye's circle) show 0.")
        print(f"Largest FWHM ratio of a region with stars: "
              f"{max(float(r[2]) for r in rows if int(r[1]) > 0):.3f} (bar 1.25: no doubled stars).\n")

    rigid = frames_of(os.path.join(data, "rigid"))
    peers = os.path.join(here, "..", "..", "shared", "peers")
    commands = {"tarnic -t s": [os.path.join(build, "tarnic"), "-t", "s", "-o", os.path.join(data, "out", "speed.tif"),
                                *rigid]}
    if baseline:
        commands["earlier build -t s"] = [baseline, *commands["tarnic -t s"][1:]]
    if shutil.which("siril-cli"):
        commands["Siril register + mean"] = ["sh", os.path.join(peers, "siril_stack.sh"), "-t", "2",
                                             os.path.join(data, "rigid"), os.path.join(data, "out", "siril.tif")]
    if rigid and len(commands) > 1:
        times = {name: [] for name in commands}
        for _ in range(SPEED_PAIRS):
            for name, command in commands.items():
                start = time.monotonic()
                subprocess.run(command, capture_output=True, check=True)
                times[name].append(time.monotonic() - start)
        ours = times["tarnic -t s"]
        print(f"Cost on the 8 rigid frames of 3000 x 2000 (both cores, whole-process wall time, {SPEED_PAIRS} "
              f"interleaved rounds):\n")
        print("| against | ratio of this build's time, median of the rounds | bar |")
        print("|---|---|---|")
        for name, bar in (("earlier build -t s", "1.2"), ("Siril register + mean", "0.5")):
            if name in times:
                ratios = sorted(a / b for a, b in zip(ours, times[name]))
                print(f"| {name} ({statistics.median(times[name]):.2f} s) | {statistics.median(ratios):.3f} "
                      f"(rounds {', '.join(f'{r:.3f}' for r in ratios)}) | {bar} |")
        print()


if __name__ == "__main__":
    main()
