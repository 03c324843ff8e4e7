"""What rejection does to the stack when frames differ: a twilight sky that
falls from 3x and rises again over vignetted frames (uncalibrated, and with
bias and flats whose masters are made with -r too), flats of levels 1x to 2x,
the real all-sky set and generated 8-bit camera frames with varying seeing.
Every figure is of the output: its noise, its level block by block, the
master flat, star flux; and the share of values rejected and at the limit.

usage: /usr/bin/python3 bench/normalisation.py BUILD_DIR DATA_DIR > rows.md
"""
import array
import os
import re
import statistics
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from trails import read_ppm  # noqa: E402

NIGHT = ["-W", "480", "-H", "360", "-S", "150", "-s", "21"]
BLOCK = 24
# The all-sky frames' square of sky inside the horizon: left, top, side.
ALLSKY_SKY = (520, 400, 400)
REAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data", "real")


def generate(starfield, folder, extra, pattern):
    os.makedirs(folder, exist_ok=True)
    subprocess.run([starfield] + NIGHT + extra + [os.path.join(folder, pattern)], check=True)


def files(folder, prefix):
    return sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.startswith(prefix))


def run(tarnic, options, out):
    done = subprocess.run([tarnic] + options + ["-o", out], check=True, capture_output=True, text=True)
    return done.stdout


def pixel_noise(picture):
    """Noise of one green pixel, from neighbouring pixels' differences:
    gradients and vignetting leave it."""
    width, height, s = picture
    steps = [s[(y * width + x) * 3 + 1] - s[(y * width + x + 1) * 3 + 1]
             for y in range(2, height - 2) for x in range(2, width - 3, 2)]
    centre = statistics.median(steps)
    return 1.4826 * statistics.median(abs(v - centre) for v in steps) / 2 ** 0.5


def block_levels(picture):
    width, height, s = picture
    return [statistics.median(s[((by + j) * width + bx + i) * 3 + 1] for j in range(BLOCK) for i in range(BLOCK))
            for by in range(0, height - BLOCK + 1, BLOCK) for bx in range(0, width - BLOCK + 1, BLOCK)]


def against_plain(clipped, plain):
    """Output noise over the plain mean's, and the RMS and largest relative
    difference of their block levels, %."""
    ratios = [c / p - 1 for c, p in zip(block_levels(clipped), block_levels(plain))]
    rms = (sum(r * r for r in ratios) / len(ratios)) ** 0.5
    return "noise %.3fx plain, block levels %.3f %% RMS (largest %.3f %%)" % (
        pixel_noise(clipped) / pixel_noise(plain), 100 * rms, 100 * max(abs(r) for r in ratios))


def rejected(printed):
    found = re.search(r"Rejected ([0-9.]+)% of values high and ([0-9.]+)% low(?:; (\d+) samples may still)?", printed)
    return float(found.group(1)) + float(found.group(2)), int(found.group(3) or 0)


def fits_green(path):
    """Width, height and the green plane of a 32-bit float FITS cube."""
    data = open(path, "rb").read()
    header, at = {}, 0
    while True:
        card = data[at:at + 80].decode("latin1")
        at += 80
        if card[8:10] == "= ":
            header[card[:8].strip()] = card[10:].split("/")[0].strip()
        if card.startswith("END"):
            break
    at = (at + 2879) // 2880 * 2880
    width, height = int(header["NAXIS1"]), int(header["NAXIS2"])
    plane = width * height
    return width, height, struct.unpack(">%df" % plane, data[at + 4 * plane:at + 8 * plane])


def flat_difference(clipped, plain):
    """RMS and largest relative difference of two master flats' blocks, each
    normalised by its central quarter, %."""
    def blocks(flat):
        width, height, v = flat
        centre = statistics.mean(v[y * width + x] for y in range(height // 4, height - height // 4)
                                 for x in range(width // 4, width - width // 4))
        return [sum(v[(by + j) * width + bx + i] for j in range(BLOCK) for i in range(BLOCK)) / centre
                for by in range(0, height - BLOCK + 1, BLOCK) for bx in range(0, width - BLOCK + 1, BLOCK)]
    ratios = [c / p - 1 for c, p in zip(blocks(clipped), blocks(plain))]
    return "%.4f %% RMS, largest %.4f %% (edges included)" % (
        100 * (sum(r * r for r in ratios) / len(ratios)) ** 0.5, 100 * max(abs(r) for r in ratios))


def bright_isolated(picture, count, least):
    width, height, s = picture
    green = s[1::3]
    level = statistics.median(green[::7])
    spread = 1.4826 * statistics.median(abs(v - level) for v in green[::7])
    peaks = []
    for y in range(14, height - 14):
        for x in range(14, width - 14):
            v = green[y * width + x]
            if v > level + least * spread and v < 60000 and all(
                    v >= green[(y + j) * width + x + i] for j in (-2, -1, 0, 1, 2) for i in (-2, -1, 0, 1, 2)):
                peaks.append((v, x, y))
    chosen = []
    for v, x, y in sorted(peaks, reverse=True):
        if all((x - a) ** 2 + (y - b) ** 2 > 400 for _, a, b in chosen):
            chosen.append((v, x, y))
    return [(x, y) for _, x, y in chosen[:count]]


def flux(picture, x, y):
    width, _, s = picture
    inside, ring, n = 0.0, [], 0
    for j in range(-12, 13):
        for i in range(-12, 13):
            d, v = i * i + j * j, s[((y + j) * width + x + i) * 3 + 1]
            if d <= 25:
                inside, n = inside + v, n + 1
            elif 64 <= d <= 144:
                ring.append(v)
    return inside - n * statistics.median(ring)


def star_flux(clipped, plain, least):
    stars = bright_isolated(plain, 300, least)
    ratios = [flux(clipped, x, y) / flux(plain, x, y) for x, y in stars if flux(plain, x, y) > 0]
    return "%.4f (median of %d stars), %.4f (the brightest 30)" % (
        statistics.median(ratios), len(ratios), statistics.median(ratios[:30]))


def aligned_rejection(tarnic, frames, picture, least):
    """What `-t s -r 3` rejects and does to star flux against `-t s`; stars
    peak least noise levels above the sky."""
    run(tarnic, ["-t", "s"] + frames, picture)
    plain = read_ppm(picture)
    share, limit = rejected(run(tarnic, ["-t", "s", "-r", "3"] + frames, picture))
    return "%.2f %% / %.3f %% / %s" % (share, 100 * limit / len(plain[2]), star_flux(read_ppm(picture), plain, least))


def sky_of_allsky(tarnic, folder):
    """The real all-sky frames cut to the square inside the horizon (each
    frame written through tarnic as 16-bit PPM, then cut): the horizon and
    the sensor's edge move through a sky-aligned stack, and what is rejected
    there is the ground, not the sky."""
    os.makedirs(folder, exist_ok=True)
    cut = []
    for frame in files(os.path.join(REAL, "umd-allsky"), "IMG"):
        whole = os.path.join(folder, "whole.ppm")
        run(tarnic, [frame], whole)
        width, _, s = read_ppm(whole)
        x0, y0, side = ALLSKY_SKY
        part = array.array("H")
        for y in range(y0, y0 + side):
            part.extend(s[(y * width + x0) * 3:(y * width + x0 + side) * 3])
        part.byteswap()
        name = os.path.join(folder, os.path.basename(frame).replace(".png", ".ppm"))
        with open(name, "wb") as f:
            f.write(b"P6\n%d %d\n65535\n" % (side, side) + part.tobytes())
        cut.append(name)
    os.remove(whole)
    return cut


def rows(build, data):
    tarnic, starfield = os.path.join(build, "tarnic"), os.path.join(build, "starfield")
    out = []
    night = os.path.join(data, "twilight")
    if not os.path.isdir(night):
        generate(starfield, night, ["-n", "24", "-K", "light", "-U", "3"], "light%02d.ppm")
        generate(starfield, night, ["-n", "5", "-K", "bias"], "bias%d.ppm")
        generate(starfield, night, ["-n", "5", "-K", "flat", "-U", "2"], "flat%d.ppm")
    lights = files(night, "light")
    masters = sum((["-b", b] for b in files(night, "bias")), []) + sum((["-f", f] for f in files(night, "flat")), [])
    picture = os.path.join(night, "out.ppm")
    run(tarnic, lights, picture)
    plain = read_ppm(picture)
    printed = run(tarnic, ["-r", "3"] + lights, picture)
    share, limit = rejected(printed)
    out.append(("twilight, sky 3x to 1x and back, vignetted, 24 frames: `-r 3` against the plain mean",
                against_plain(read_ppm(picture), plain) + "; %.2f %% rejected, %.2f %% of samples at the limit" %
                (share, 100 * limit / (len(plain[2])))))
    run(tarnic, masters + lights, picture)
    plain = read_ppm(picture)
    printed = run(tarnic, ["-r", "3"] + masters + lights, picture)
    share, limit = rejected(printed.split("Averaging")[-1].split("Post processing")[-1])
    out.append(("the same with 5 bias and 5 flat frames (flats 2x to 1x), masters made with `-r 3` too",
                against_plain(read_ppm(picture), plain) + "; %.2f %% rejected, %.2f %% of samples at the limit" %
                (share, 100 * limit / (len(plain[2])))))

    for name, options in (("plain", []), ("clipped", ["-r", "3"])):
        folder = os.path.join(night, name)
        os.makedirs(folder, exist_ok=True)
        run(tarnic, options + masters + ["-M", folder] + lights, picture)
    out.append(("master flat of flats at levels 2x to 1x, `-r 3` against the plain mean",
                flat_difference(fits_green(os.path.join(night, "clipped", "master_flat.fits")),
                                fits_green(os.path.join(night, "plain", "master_flat.fits")))))

    camera = os.path.join(data, "camera8")
    if not os.path.isdir(camera):
        generate(starfield, camera, ["-n", "12", "-W", "1200", "-H", "800", "-S", "2500", "-L", "1400", "-I", "30",
                                     "-F", "rgb8", "-V", "0.1", "-e", "20", "-k", "3000"], "f%02d.png")
    out.append(("12 generated 8-bit camera frames, fixed camera under the turning sky, seeing varying by 10 %, "
                "`-t s -r 3`: rejected / at the limit / star flux over plain",
                aligned_rejection(tarnic, files(camera, "f"), os.path.join(camera, "out.ppm"), 10)))
    allsky = os.path.join(REAL, "umd-allsky")
    if os.path.isdir(allsky):
        out.append(("the real all-sky set, `-t s -r 3`, whole frames (the horizon moves through the aligned sky): "
                    "rejected / at the limit / star flux over plain",
                    aligned_rejection(tarnic, files(allsky, "IMG"), os.path.join(data, "allsky_rejection.ppm"), 3)))
        out.append(("the real all-sky set cut to the %d px square of sky inside the horizon, `-t s -r 3`: rejected / "
                    "at the limit / star flux over plain" % ALLSKY_SKY[2],
                    aligned_rejection(tarnic, sky_of_allsky(tarnic, os.path.join(data, "allsky_sky")),
                                      os.path.join(data, "allsky_sky.ppm"), 3)))
    return out


if __name__ == "__main__":
    for label, value in rows(*sys.argv[1:3]):
        print(f"| {label} | {value} |")
