#!/usr/bin/env python3
"""End-to-end speed and footprint of the pipe command against the Unix tools
a user would reach for. Makes its own inputs, checks that both sides write
the same bytes, runs both sides alternately and prints medians and ratios.

    python3 bench/e2e_bench.py [--bin build-release/bin] [--runs 5] [--records 1000000]
                               [--only TEXT] [--before-bin OTHER/bin]

--only runs the cases whose name holds TEXT ("names" for the open-file set's
cases); --before-bin also times another build's pipe on the names cases, for
before-and-after figures of one run.
"""
import argparse
import collections
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
    # Names that interleave: 8 round robin, and 1,000 at random (more than
    # the open-file set holds).
    with open(os.path.join(folder, "rr8.txt"), "w") as f:
        for i, line in enumerate(lines):
            f.write("file%d.out %s\n" % (i % 8, line))
    with open(os.path.join(folder, "rr8-names.txt"), "w") as f:
        for i in range(records):
            f.write("file%d.out\n" % (i % 8))
    chosen = [rng.randrange(1000) for _ in range(records)]
    with open(os.path.join(folder, "random1000.txt"), "w") as f:
        for name, line in zip(chosen, lines):
            f.write("r%03d.out %s\n" % (name, line))
    return chosen


def evictions(names, capacity=64):
    """How many files the stage's set closes to make room (least recently
    used first) for this sequence of names."""
    recent = collections.OrderedDict()
    closed = 0
    for name in names:
        if name in recent:
            recent.move_to_end(name)
            continue
        if len(recent) >= capacity:
            recent.popitem(last=False)
            closed += 1
        recent[name] = True
    return closed


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


def timed_pair(name, ours, base, target, compare, folder, runs, cleanup, busy=False,
               base_label="base s"):
    """Runs both sides alternately `runs` times; prints medians and the ratio."""
    ours_t, base_t = [], []
    hog = subprocess.Popen([sys.executable, "-c", "while True: pass"]) if busy else None
    try:
        for _ in range(runs):
            cleanup()
            ours_t.append(run(ours, folder)[0])
            if compare:
                run(base, folder)
                if not same_without_final_lf(os.path.join(folder, compare[0]),
                                             os.path.join(folder, compare[1])):
                    sys.exit("outputs differ for " + name)
            cleanup()
            base_t.append(run(base, folder)[0])
    finally:
        if hog:
            hog.kill()
            hog.wait()
    mo, mb = statistics.median(ours_t), statistics.median(base_t)
    verdict = "" if target is None else ("ok" if mo / mb <= target else "MISSED")
    print("%-34s %10.3f %10.3f %7.2f %7s %s" % (name, mo, mb, mo / mb,
                                                "" if target is None else "%.1f" % target,
                                                verdict))
    return mo, mb


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build-release/bin")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--records", type=int, default=1000000)
    parser.add_argument("--only", default="")
    parser.add_argument("--before-bin", default="")
    args = parser.parse_args()
    pipe = os.path.abspath(os.path.join(args.bin, "pipe"))
    before = os.path.abspath(os.path.join(args.before_bin, "pipe")) if args.before_bin else ""
    folder = tempfile.mkdtemp(prefix="ductrine-bench-")
    chosen = make_inputs(folder, args.records)
    files = ["out.txt", "out2.txt", "out3.txt"] + ["file%d.out" % i for i in range(8)]
    files += ["r%03d.out" % i for i in range(1000)]
    mawk_dir = os.path.join(folder, "mawk")
    os.mkdir(mawk_dir)

    def cleanup():
        clean(folder, files)
        clean(mawk_dir, os.listdir(mawk_dir))

    split = "cd mawk && mawk '{ f=$1; sub(/^[^ ]* /, \"\"); print >> f }' ../%s"
    mode3 = ' "(end ?) < in.txt | t: >> ? < rr8-names.txt | t:"'
    cases = [
        ("append, mode 1", pipe + ' "< in.txt | >> out.txt"',
         "tee -a out2.txt < in.txt > /dev/null", 3.0, ("out.txt", "out2.txt")),
        ("append and echo", pipe + ' "< in.txt | >> out.txt | console"',
         "tee -a out2.txt < in.txt > /dev/null", 4.0, ("out.txt", "out2.txt")),
        ("names in runs, mode 2", pipe + ' "< names.txt | >>"', split % "names.txt", 1.5,
         ("file3.out", "mawk/file3.out")),
        ("names round robin 8, mode 2", pipe + ' "< rr8.txt | >>"', split % "rr8.txt", 1.5,
         ("file3.out", "mawk/file3.out")),
        ("names at random 1000, mode 2", pipe + ' "< random1000.txt | >>"',
         split % "random1000.txt", 4.0, ("r007.out", "mawk/r007.out")),
        ("names on a stream rr 8 vs mode 2", pipe + mode3, pipe + ' "< rr8.txt | >>"', 2.0,
         None),
        ("long chain on 2 cores",
         pipe + ' "< in.txt | literal a | literal b | >> out.txt | console | >> out3.txt"',
         pipe + ' "< in.txt | >> out.txt"', 4.0, None),
        # Another process holding one core: spinning must not cost the
        # partner its turn. Both sides run beside the same busy loop.
        ("mode 1, one core busy", pipe + ' "< in.txt | >> out.txt"',
         "tee -a out2.txt < in.txt > /dev/null", 3.0, ("out.txt", "out2.txt"), True),
    ]
    print("%d records, medians of %d alternating runs" % (args.records, args.runs))
    print("%-34s %10s %10s %7s %7s" % ("case", "ours s", "base s", "ratio", "target"))
    for name, ours, base, target, compare, *busy in cases:
        if args.only not in name:
            continue
        timed_pair(name, ours, base, target, compare, folder, args.runs, cleanup, bool(busy))
    if "names at random" in " ".join(c[0] for c in cases if args.only in c[0]):
        print("names at random 1000: %.3f evictions per record (set of 64)" %
              (evictions(chosen) / float(len(chosen))))

    if before:
        print("before (%s) against after (%s):" % (before, pipe))
        print("%-34s %10s %10s %7s" % ("case", "after s", "before s", "ratio"))
        for name, ours, _base, _target, _compare, *busy in cases:
            if "names" not in name or args.only not in name:
                continue
            timed_pair(name, ours, ours.replace(pipe, before), None, None, folder, args.runs,
                       cleanup, bool(busy))

    if args.only:
        shutil.rmtree(folder)
        return

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
        cleanup()
        print("peak RSS mode 2, 1000 names: %d KiB" %
              peak_rss(pipe + ' "< random1000.txt | >>"', folder))

    # Idle: a pipeline blocked on standard input.
    before_idle = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.Popen(pipe + ' "console | >> idle.txt"', cwd=folder, shell=True,
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    time.sleep(5)
    proc.stdin.close()
    proc.wait()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before_idle.ru_utime) + (after.ru_stime - before_idle.ru_stime)
    print("idle for 5 s: %.3f s CPU (%.2f%% of a core)" % (cpu, cpu / 5 * 100))
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
