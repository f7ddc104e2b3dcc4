#!/usr/bin/env python3
"""Processor time of builds of quenlo side by side, per byte of input.

    bench/cpu_time.py [--rounds N] FILE PROGRAM [PROGRAM...]

Each round runs every PROGRAM on FILE in turn (`PROGRAM FILE`, standard
output to /dev/null, as bench/run.sh times them; a PROGRAM may hold
arguments, e.g. "taskset -c 0 build-bench/quenlo"), so that
a busy host's slow spells fall on all alike, and takes its user and system
time from the kernel (wait4). Prints, for each, the medians of wall, user
and system time, and the input bytes per second of user time: the figure to
set beside kernel_bench's for the same kernel and corpus (its "+read"
column), since the pass's user time is mostly the kernel's. Linux splits a
process's time between user and system by sampling, so a run of tens of
milliseconds is only roughly split: take many rounds.
"""
import argparse
import os
import shlex
import statistics
import subprocess
import time


def run_once(program, path):
    start = time.perf_counter()
    with open(os.devnull, "wb") as null:
        child = subprocess.Popen(shlex.split(program) + [path], stdout=null, stderr=null)
        _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{program} {path}: exit status {os.waitstatus_to_exitcode(status)}")
    return wall, usage.ru_utime, usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("file")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    size = os.path.getsize(args.file)
    times = {p: [] for p in args.programs}
    for p in args.programs:  # a warm-up: the file into the page cache, the programs into memory
        run_once(p, args.file)
    for _ in range(args.rounds):
        for p in args.programs:
            times[p].append(run_once(p, args.file))
    print(f"{args.file}: {size / 2**20:.1f} MiB, medians of {args.rounds} rounds")
    print(f"{'program':40} {'wall ms':>8} {'user ms':>8} {'sys ms':>8} {'GiB per user s':>15}")
    for p, runs in times.items():
        wall, user, system = (statistics.median(r[k] for r in runs) for k in range(3))
        print(f"{p:40} {wall * 1e3:8.1f} {user * 1e3:8.1f} {system * 1e3:8.1f} {size / 2**30 / user if user else float('nan'):15.2f}")


if __name__ == "__main__":
    main()
