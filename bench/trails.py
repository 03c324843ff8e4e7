"""Satellite trails left in a stack: tarnic's clipped mean against Siril's
sigma clipping, on the same generated frames.

usage: /usr/bin/python3 bench/trails.py BUILD_DIR DATA_DIR PEERS_DIR > section.md

Ten 800 x 600 frames of one field, two crossed by satellites, one by an
aircraft, all with cosmic-ray hits; and the same ten frames without them. The
residual of a stack is the largest difference, over the sky away from stars,
between it and the plain mean of the clean frames, in units of that mean's
background noise.
"""
import array
import os
import shutil
import statistics
import subprocess
import sys

FIELD = ["-n", "10", "-W", "800", "-H", "600", "-S", "600", "-s", "13"]
TRANSIENTS = ["-Z", "2,6", "-A", "4", "-c", "60"]
MARGIN = 8


def read_ppm(path):
    """Width, height and the 16-bit samples of a binary PPM."""
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    samples = array.array("H")
    samples.frombytes(data[at + 1:])
    samples.byteswap()
    return int(fields[1]), int(fields[2]), samples


def as_ppm(tarnic, path, out):
    """Any picture tarnic reads, as a PPM (the mean of one frame is the frame)."""
    subprocess.run([tarnic, "-o", out, path], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return read_ppm(out)


def residual(stack, clean, margin=MARGIN, touched=None):
    """The largest difference of stack from clean over the sky, in noise
    units; with touched (the plain stack of the frames with transients),
    only over samples where it lies more than 3 noise units from clean."""
    width, height, c = clean
    _, _, s = stack
    green = c[1::3]
    level = statistics.median(green)
    noise = 1.4826 * statistics.median(abs(v - level) for v in green)
    worst = 0.0
    for y in range(margin, height - margin):
        for x in range(margin, width - margin):
            i = (y * width + x) * 3
            if c[i + 1] > level + 4 * noise:
                continue  # a star
            for k in range(3):
                if touched is None or abs(touched[2][i + k] - c[i + k]) > 3 * noise:
                    worst = max(worst, abs(s[i + k] - c[i + k]))
    return worst / noise


def main(build, data, peers):
    build, data, peers = (os.path.abspath(p) for p in (build, data, peers))
    tarnic, starfield = os.path.join(build, "tarnic"), os.path.join(build, "starfield")
    folder = os.path.join(data, "trails")
    for name, extra in (("clean", []), ("trail", TRANSIENTS)):
        os.makedirs(os.path.join(folder, name), exist_ok=True)
        subprocess.run([starfield] + FIELD + extra + [os.path.join(folder, name, "f%02d.tif")], check=True)
    frames = lambda name: sorted(os.path.join(folder, name, f) for f in os.listdir(os.path.join(folder, name))
                                 if f.endswith(".tif"))
    out = lambda name: os.path.join(folder, name)
    subprocess.run([tarnic, "-o", out("clean.ppm")] + frames("clean"), check=True, stdout=subprocess.DEVNULL)
    clean = read_ppm(out("clean.ppm"))
    rows = []
    for label, options in (("tarnic mean", []), ("tarnic -r 3", ["-r", "3"])):
        subprocess.run([tarnic] + options + ["-o", out("t.ppm")] + frames("trail"), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rows.append((label, residual(read_ppm(out("t.ppm")), clean)))
    if shutil.which("siril-cli"):
        for label, rejection in (("Siril mean", "n"), ("Siril sigma clipping 3/3", "s 3 3")):
            subprocess.run(["sh", os.path.join(peers, "siril_stack.sh"), "-t", "2", "--noreg", "--rej", rejection,
                            os.path.join(folder, "trail"), out("siril.tif")], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            rows.append((label, residual(as_ppm(tarnic, out("siril.tif"), out("siril.ppm")), clean)))
    print("## Satellite trails left in a stack\n")
    print("Ten generated 800 x 600 frames, two crossed by satellites (8000 ADU), one by an aircraft's lights, "
          "60 cosmic-ray hits in each; the residual is the largest difference over the sky, away from stars, "
          "from the plain mean of the same frames without them, in units of its background noise (the bar "
          "is 3).\n")
    print("| stack | residual, noise units |")
    print("|---|---|")
    for label, value in rows:
        print(f"| {label} | {value:.1f} |")
    print()


if __name__ == "__main__":
    main(*sys.argv[1:4])
