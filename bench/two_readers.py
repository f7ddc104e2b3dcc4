#!/usr/bin/env python3
"""What a second processor reading at the same time costs the first.

    bench/two_readers.py [--rounds N] FLOOR FILE OTHER_FILE

Runs the copy floor (bench/copy_floor FILE: read, copy each byte once,
write) on processor 0, alone, and then again while a second copy floor
reads OTHER_FILE on processor 1, round after round, and prints the medians
of its system and user time (wait4). The parallel pass reads on two
processors at once; where the second reader slows the first, the pass's
reads cost more than the floor's, however the work is shared.
"""
import argparse
import os
import statistics
import subprocess


def start(processor, floor, path):
    return subprocess.Popen(["taskset", "-c", str(processor), floor, path], stdout=subprocess.DEVNULL)


def times(child):
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        raise SystemExit(f"{child.args}: failed")
    return usage.ru_stime * 1e3, usage.ru_utime * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=12)
    parser.add_argument("floor")
    parser.add_argument("file")
    parser.add_argument("other_file")
    args = parser.parse_args()
    alone, beside = [], []
    for _ in range(args.rounds):
        alone.append(times(start(0, args.floor, args.file)))
        other = start(1, args.floor, args.other_file)
        beside.append(times(start(0, args.floor, args.file)))
        times(other)
    for name, runs in (("alone", alone), ("beside a second reader", beside)):
        print(f"{name}: system {statistics.median(r[0] for r in runs):.1f} ms, "
              f"user {statistics.median(r[1] for r in runs):.1f} ms (medians of {args.rounds})")


if __name__ == "__main__":
    main()
