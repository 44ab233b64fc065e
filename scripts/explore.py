#!/usr/bin/env python3
"""make explore: every seeded scenario of the suite over many seeds.

A scenario is a race test that runs its machine once per seed of the
seeded scheduler: its name holds "Seeded", and its output has the
"[ seeds ]" mark of a test that takes its seeds from the environment (a
seeded test that runs its own seeds runs once). The Plug and Play cycles of
eight bridges, seeded too, keep their own count in `make soak`. The seeds are
cut into chunks; each chunk of each scenario is one run of its test
program with NORVUSB_SEED_BASE and NORVUSB_SEEDS. JOBS runs go at once, each
held to a processor of its own: a seeded machine keeps its threads on the
processor it booted on, and two machines on one processor would halve both.

Every seed is a fresh machine, so where and in which process a seed ran
changes nothing: the replay command that a failing run prints is exact. The
first failure stops the exploration (runs already going finish) and prints
that run's output. With --time, no chunk starts after that many seconds, and
the count says how many seeds every scenario reached.
"""
import argparse
import os
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path

SCENARIOS = "*Seeded*"


def scenarios(build):
    """(program, test) for every seeded scenario of the build's test programs."""
    found = []
    for program in sorted(Path(build).glob("test_*")):
        if not program.is_file() or not os.access(program, os.X_OK):
            continue
        listing = subprocess.run([str(program), "--gtest_list_tests", f"--gtest_filter={SCENARIOS}"],
                                 capture_output=True, text=True, check=True).stdout
        suite = None
        for line in listing.splitlines():
            if line and not line.startswith(" ") and line.endswith("."):
                suite = line
            elif line.startswith("  ") and suite:
                found.append((str(program), suite + line.split()[0]))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=100_000)
    parser.add_argument("--base", type=int, default=1, help="the first seed")
    parser.add_argument("--chunk", type=int, default=500, help="seeds per run")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--time", type=float, default=0, help="start no chunk after this many seconds (0: no bound)")
    parser.add_argument("--build", default="build/default")
    args = parser.parse_args()
    if args.seeds < 1 or args.chunk < 1 or args.jobs < 1 or args.time < 0:
        parser.error("--seeds, --chunk and --jobs must be 1 or more, --time 0 or more")

    work = scenarios(args.build)
    if not work:
        sys.exit(f"explore: no seeded scenario in {args.build}; build it first (make build)")
    chunks = [(first, min(args.chunk, args.base + args.seeds - first))
              for first in range(args.base, args.base + args.seeds, args.chunk)]
    print(f"explore: {args.seeds} seeds of {len(work)} scenarios, {len(chunks)} chunks, {args.jobs} jobs")
    sys.stdout.flush()

    # Chunk-major order: every scenario finishes a seed range before the next
    # range starts, so a time bound leaves the scenarios at even counts.
    units = queue.Queue()
    for index, (first, count) in enumerate(chunks):
        for program, test in work:
            units.put((index, first, count, program, test))
    processors = sorted(os.sched_getaffinity(0))
    start = time.monotonic()
    lock = threading.Lock()
    done = {test: set() for _, test in work}
    spent = {test: 0.0 for _, test in work}
    failure = []
    own_seeds = set()  # tests without the mark: run once, not per chunk

    # A scenario's count: its seeds from the base up to its first chunk not run.
    def reached(test):
        n = 0
        while n in done[test]:
            n += 1
        return sum(count for _, count in chunks[:n])

    def least():
        return min((reached(test) for _, test in work if test not in own_seeds), default=0)

    shown = [0]

    def worker(cpu):
        while not failure:
            if args.time and time.monotonic() - start >= args.time:
                return
            try:
                index, first, count, program, test = units.get_nowait()
            except queue.Empty:
                return
            with lock:
                if test in own_seeds:
                    continue
            env = dict(os.environ, NORVUSB_SEED_BASE=str(first), NORVUSB_SEEDS=str(count))
            env.pop("NORVUSB_SEED", None)
            began = time.monotonic()
            run = subprocess.run(["taskset", "-c", str(cpu), program, f"--gtest_filter={test}"], env=env,
                                 capture_output=True, text=True)
            with lock:
                spent[test] += time.monotonic() - began
                if run.returncode == 0:
                    done[test].add(index)
                    if "[ seeds    ]" not in run.stdout:
                        own_seeds.add(test)
                    step = 10 * args.chunk
                    if least() // step > shown[0] // step:
                        shown[0] = least()
                        print(f"  {shown[0]} seeds of every scenario, {time.monotonic() - start:.0f} s", flush=True)
                elif not failure:
                    failure.append((test, first, count, run.stdout + run.stderr))

    threads = [threading.Thread(target=worker, args=(processors[j % len(processors)],)) for j in range(args.jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seconds = time.monotonic() - start

    width = max(len(test) for _, test in work)
    for _, test in work:
        if test in own_seeds:
            print(f"  {test:<{width}}  its own seeds, once  {spent[test]:5.1f} s")
            continue
        seeds = reached(test)
        rate = f"{seeds / spent[test]:.0f} seeds/s" if spent[test] > 0 and seeds else "-"
        print(f"  {test:<{width}}  {seeds:>7} seeds  {spent[test]:7.1f} s  {rate}")
    total = least()
    if failure:
        test, first, count, output = failure[0]
        print(output[-4000:])
        print(f"explore: FAILED in {test}, seeds {first}-{first + count - 1}; "
              f"{total} of {args.seeds} seeds of every scenario passed, {seconds:.0f} s")
        sys.exit(1)
    print(f"explore: {total} of {args.seeds} seeds of every scenario passed, {seconds:.0f} s")


if __name__ == "__main__":
    main()
