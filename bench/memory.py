"""Peak memory of tarnic: 40 frames must cost what 4 frames cost (a fixed
number of frames in memory at a time), in every merge type, with and without
outlier rejection; and the memory a run touches on 8 frames of 3000 x 2000
(peak resident set and minor page faults, beside the decoding floor and,
when BASELINE_TARNIC names an earlier build, beside that).

usage: /usr/bin/python3 bench/memory.py BUILD_DIR DATA_DIR > section.md
Uses DATA_DIR/rigid24mp from bench/e2e.py for the 6000 x 4000 figures and
DATA_DIR/rigid16 from bench/e2e.py for the 3000 x 2000 ones.
"""
import os
import subprocess
import sys


def usage_of(command):
    """The resource usage of one run of command."""
    with open(os.devnull, "wb") as null:
        process = subprocess.Popen(command, stdout=null, stderr=null)
        _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise RuntimeError(f"{command[:3]} failed")
    return usage


def peak_rss_mib(command):
    """Peak resident memory of one run of command, in MiB."""
    return usage_of(command).ru_maxrss / 1024.0


def median(values):
    return sorted(values)[len(values) // 2]


def touched(build, data, out):
    """Peak resident memory and minor faults on 8 frames of 3000 x 2000."""
    rigid = os.path.join(data, "rigid16")
    if not os.path.isdir(rigid):  # made by bench/e2e.py
        return
    frames = sorted(os.path.join(rigid, f) for f in os.listdir(rigid) if f.endswith(".tif"))[:8]
    programs = [("tarnic", os.path.join(build, "tarnic"))]
    if os.environ.get("BASELINE_TARNIC"):
        programs.append(("baseline", os.environ["BASELINE_TARNIC"]))
    print("## Memory touched: 8 frames of 3000 x 2000, both cores\n")
    print("Peak resident set (MiB) and minor page faults of one run, medians of 5; the floor decodes "
          "every frame into one reused buffer on one thread. `baseline` is the build named by "
          "`BASELINE_TARNIC`.\n")
    print("| command | peak MiB | minor faults |")
    print("|---|---|---|")
    floor = [usage_of([os.path.join(build, "bench", "floor"), out] + frames) for _ in range(5)]
    print(f"| floor | {median([u.ru_maxrss for u in floor]) / 1024:.0f} | {median([u.ru_minflt for u in floor])} |")
    for options in (["-t", "n"], ["-t", "t"], ["-t", "a"], ["-t", "s"], ["-t", "n", "-r", "3"]):
        for name, program in programs:
            runs = [usage_of([program] + options + ["-o", out] + frames) for _ in range(5)]
            print(f"| `{name} {' '.join(options)}` | {median([u.ru_maxrss for u in runs]) / 1024:.0f} | "
                  f"{median([u.ru_minflt for u in runs])} |")
    print()


def main(build, data):
    build, data = os.path.abspath(build), os.path.abspath(data)
    tarnic = os.path.join(build, "tarnic")
    small = os.path.join(data, "memory40")
    if not os.path.exists(os.path.join(small, "done")):
        os.makedirs(small, exist_ok=True)
        subprocess.run([os.path.join(build, "starfield"), "-n", "40", "-W", "1000", "-H", "750", "-S", "900",
                        "-b", "3000,60000", "-r", "1", "-x", "20", "-s", "5",
                        os.path.join(small, "f%02d.tif")], check=True)
        open(os.path.join(small, "done"), "w").close()
    frames = sorted(os.path.join(small, f) for f in os.listdir(small) if f.endswith(".tif"))
    large = os.path.join(data, "rigid24mp")
    large_frames = []
    if os.path.isdir(large):  # made by bench/e2e.py
        large_frames = sorted(os.path.join(large, f) for f in os.listdir(large) if f.endswith(".tif"))[:4]
    out = os.path.join(data, "out", "memory.ppm")
    print("## Peak memory\n")
    print("Peak resident set size of one run (MiB), 1000 x 750 frames; the last column stacks "
          "4 frames of 6000 x 4000.\n")
    print("| mode | 4 frames | 40 frames | 40 / 4 | 4 frames of 6000 x 4000 |")
    print("|---|---|---|---|---|")
    for options in (["-t", "n"], ["-t", "t"], ["-t", "a"], ["-t", "s"], ["-t", "n", "-r", "3"],
                    ["-t", "a", "-r", "3"], ["-t", "s", "-r", "3"]):
        four = peak_rss_mib([tarnic] + options + ["-o", out] + frames[:4])
        forty = peak_rss_mib([tarnic] + options + ["-o", out] + frames)
        big = f"{peak_rss_mib([tarnic] + options + ['-o', out] + large_frames):.0f}" if large_frames else "not made"
        print(f"| `{' '.join(options)}` | {four:.1f} | {forty:.1f} | {forty / four:.3f} | {big} |")
    print()
    touched(build, data, out)


if __name__ == "__main__":
    main(*sys.argv[1:3])
