#!/usr/bin/env python3
"""End-to-end speed and footprint of the pipe command against the Unix tools
a user would reach for. Makes its own inputs, checks that both sides write
the same bytes, runs both sides alternately and prints medians and ratios.

    python3 bench/e2e_bench.py [--bin build-release/bin] [--runs 5] [--records 1000000]
"""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_inputs(folder, records):
    rng = random.Random(1)
    letters = "abcdefghijklmnopqrstuvwxyz0123456789 "
    lines = []
    for i in range(records):
        n = rng.randint(30, 100)
        body = "".join(rng.choice(letters) for _ in range(n - 8))
        lines.append(("%07d " % i) + body)
    with open(os.path.join(folder, "in.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    per = records // 8
    with open(os.path.join(folder, "names.txt"), "w") as f:
        for i, line in enumerate(lines[: per * 8]):
            f.write("file%d.out %s\n" % (i // per, line))


def run(cmd, cwd, stdin=None):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, shell=True, check=True, stdin=stdin,
                   stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_maxrss


def clean(folder, names):
    for name in names:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            os.remove(path)


def same_without_final_lf(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        x, y = fa.read(), fb.read()
    return x.rstrip(b"\n") == y.rstrip(b"\n")


def peak_rss(cmd, cwd):
    out = subprocess.run("/usr/bin/time -f %M " + cmd, cwd=cwd, shell=True, check=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(out.stderr.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build-release/bin")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--records", type=int, default=1000000)
    args = parser.parse_args()
    pipe = os.path.abspath(os.path.join(args.bin, "pipe"))
    folder = tempfile.mkdtemp(prefix="ductrine-bench-")
    make_inputs(folder, args.records)
    files = ["out.txt", "out2.txt", "out3.txt"] + ["file%d.out" % i for i in range(8)]
    mawk_dir = os.path.join(folder, "mawk")
    os.mkdir(mawk_dir)

    cases = [
        ("append, mode 1", pipe + ' "< in.txt | >> out.txt"',
         "tee -a out2.txt < in.txt > /dev/null", 3.0, ("out.txt", "out2.txt")),
        ("append and echo", pipe + ' "< in.txt | >> out.txt | console"',
         "tee -a out2.txt < in.txt > /dev/null", 4.0, ("out.txt", "out2.txt")),
        ("names in records, mode 2", pipe + ' "< names.txt | >>"',
         "cd mawk && mawk '{f=$1; sub(/^[^ ]+ /, \"\"); print >> f}' ../names.txt", 1.5,
         ("file3.out", "mawk/file3.out")),
        ("long chain on 2 cores",
         pipe + ' "< in.txt | literal a | literal b | >> out.txt | console | >> out3.txt"',
         pipe + ' "< in.txt | >> out.txt"', 4.0, None),
        # Another process holding one core: spinning must not cost the
        # partner its turn. Both sides run beside the same busy loop.
        ("mode 1, one core busy", pipe + ' "< in.txt | >> out.txt"',
         "tee -a out2.txt < in.txt > /dev/null", 3.0, ("out.txt", "out2.txt"), True),
    ]
    print("%-26s %10s %10s %7s %7s" % ("case", "ours s", "base s", "ratio", "target"))
    for name, ours, base, target, compare, *busy in cases:
        ours_t, base_t = [], []
        hog = subprocess.Popen([sys.executable, "-c", "while True: pass"]) if busy else None
        for _ in range(args.runs):
            clean(folder, files)
            clean(mawk_dir, os.listdir(mawk_dir))
            ours_t.append(run(ours, folder)[0])
            if compare:
                run(base, folder)
                if not same_without_final_lf(os.path.join(folder, compare[0]),
                                             os.path.join(folder, compare[1])):
                    sys.exit("outputs differ for " + name)
            clean(folder, files)
            clean(mawk_dir, os.listdir(mawk_dir))
            base_t.append(run(base, folder)[0])
        if hog:
            hog.kill()
            hog.wait()
        mo, mb = statistics.median(ours_t), statistics.median(base_t)
        print("%-26s %10.3f %10.3f %7.2f %7.1f %s" % (name, mo, mb, mo / mb, target,
                                                      "ok" if mo / mb <= target else "MISSED"))

    if os.path.exists("/usr/bin/time"):
        clean(folder, files)
        small = peak_rss(pipe + ' "< in.txt | >> out.txt"', folder)
        with open(os.path.join(folder, "in.txt"), "rb") as f:
            data = f.read()
        with open(os.path.join(folder, "big.txt"), "wb") as f:
            for _ in range(10):
                f.write(data)
        clean(folder, files)
        big = peak_rss(pipe + ' "< big.txt | >> out.txt"', folder)
        print("peak RSS mode 1: %d KiB (1x), %d KiB (10x), growth %d KiB" % (small, big, big - small))

    # Idle: a pipeline blocked on standard input.
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.Popen(pipe + ' "console | >> idle.txt"', cwd=folder, shell=True,
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    time.sleep(5)
    proc.stdin.close()
    proc.wait()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    print("idle for 5 s: %.3f s CPU (%.2f%% of a core)" % (cpu, cpu / 5 * 100))
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
