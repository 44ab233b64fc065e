#!/usr/bin/env python3
"""How sharp the tests are: plant one small fault at a time in the driver and
see whether a test notices.

  run.py [--files GLOBS] [--sample N] [--seed S] [--jobs J] [--changed BASE]
         [--out DIR] [--list] [--all]

Each of J workers keeps a copy of the work tree and a build of its own under
DIR/wN (rebuilds share the compiler cache, and a second run rebuilds only what
changed). A mutant is applied to a worker's copy, the test programs that link
the changed file are rebuilt, and they run with the verifier's force-pending
option on, stopping at the first failure. Outcomes:

  killed     a test failed or crashed, or the programs outlasted their time
             limit (a hang; counted apart as "timed out")
  survived   every test passed
  equivalent survived, and scripts/mutants/equivalent.json argues that no
             behaviour can tell it from the original
  stillborn  did not compile; not counted

The score is killed / (killed + survived), shown with and without the
equivalent mutants. --changed BASE draws only from the files that differ from
revision BASE (committed or not). --list prints the candidates per file and
builds nothing. The report is DIR/report.json; the exit status is 1 when a
survivor is not on the equivalent list.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import filecmp
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections import Counter, defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from candidates import Mutant, find  # noqa: E402

HERE = Path(__file__).resolve().parent
DEFAULT_FILES = "driver/*.cpp device/*.cpp usb/*.cpp io/*.cpp enum/*.cpp"
# The program the tools' tests run as a user runs it.
RUNS_PROGRAM = {"norvusb": "test_tools"}
# Faster to build than the default preset, and the same code: assertions stay on.
CMAKE_ARGS = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1",
              "-DNORVUSB_TESTS=ON", "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld"]


def git(repo: Path, *args: str) -> str:
    return subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True, text=True).stdout


def source_files(repo: Path, patterns: list[str], changed_from: str | None) -> list[str]:
    files = sorted({str(p.relative_to(repo)) for pattern in patterns for p in repo.glob(pattern) if p.is_file()})
    if changed_from is not None:
        touched = set(git(repo, "diff", "--name-only", changed_from, "--").split())
        touched |= set(git(repo, "ls-files", "--others", "--exclude-standard").split())
        files = [f for f in files if f in touched]
    return files


def draw(mutants: list[Mutant], sample: int, seed: int) -> list[Mutant]:
    chosen = sorted(mutants, key=lambda m: m.rank(seed))[:sample]
    return sorted(chosen, key=lambda m: (m.file, m.start, m.replacement))


def load_equivalents(path: Path) -> dict[tuple[str, str, str], str]:
    entries = json.loads(path.read_text())
    return {(e["file"], e["function"], " ".join(e["line"].split()), " ".join(e["becomes"].split()),
             e.get("occurrence", 1)): e["why"] for e in entries}


@dataclasses.dataclass
class Outcome:
    mutant: Mutant
    outcome: str
    seconds: float
    timed_out: bool = False
    failed: list[str] = dataclasses.field(default_factory=list)
    why: str = ""

    def as_json(self) -> dict:
        m = self.mutant
        return {"file": m.file, "line": m.line, "operator": m.operator, "original": m.before.strip(),
                "mutated": m.after.strip(), "outcome": self.outcome, "timed_out": self.timed_out,
                "failed": self.failed, "seconds": round(self.seconds, 1), **({"why": self.why} if self.why else {})}


def run_group(cmd: list[str], cwd: Path, env: dict, timeout: float | None, log) -> tuple[int | None, float]:
    """Runs cmd in a process group of its own; on a time-out the whole group
    is killed and the code is None."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        code = None
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    return code, time.monotonic() - start


class Worker:
    """A copy of the work tree with a build of its own."""

    def __init__(self, repo: Path, root: Path):
        self.repo, self.root = repo, root
        self.src, self.build = root / "src", root / "build"
        # The base covers the build too (the program's precompiled header lives
        # there), so the workers' compiles share the cache.
        self.env = dict(os.environ, CCACHE_BASEDIR=str(self.root), CCACHE_NOHASHDIR="1",
                        NORVUSB_FORCE_PENDING="1", GTEST_COLOR="no")

    def sync(self) -> None:
        # Only files that differ are copied, so the build redoes only what changed.
        listed = git(self.repo, "ls-files", "-z", "--cached", "--others", "--exclude-standard").split("\0")
        for name in filter(None, listed):
            source, copy = self.repo / name, self.src / name
            if not source.is_file():
                continue
            if not copy.exists() or not filecmp.cmp(source, copy, shallow=False):
                copy.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source, copy)

    def configure(self) -> None:
        if not (self.build / "build.ninja").exists():
            subprocess.run(["cmake", "-S", str(self.src), "-B", str(self.build), *CMAKE_ARGS], env=self.env,
                           check=True, stdout=subprocess.DEVNULL)

    def ninja(self, targets: list[str], log) -> bool:
        code, _ = run_group(["ninja", "-C", str(self.build), "-j", "1", *targets], self.root, self.env, None, log)
        return code == 0

    def programs(self) -> list[str]:
        out = subprocess.run(["ninja", "-C", str(self.build), "-t", "targets", "all"], capture_output=True,
                             text=True, check=True).stdout
        names = {line.split(":")[0] for line in out.splitlines()}
        return sorted(n for n in names if re.fullmatch(r"test_\w+", n) or n in RUNS_PROGRAM)

    def object_of(self, file: str) -> Path:
        hits = list(self.build.glob(f"CMakeFiles/*.dir/{file}.o"))
        if len(hits) != 1:
            raise SystemExit(f"mutants: no single object file for {file} in {self.build}")
        return hits[0]


def defined_symbols(path: Path, strong_only: bool) -> set[str]:
    out = subprocess.run(["nm", "--defined-only", "-g", str(path)], capture_output=True, text=True, check=True).stdout
    kinds = set("TDBR") if strong_only else set("TDBRWVuiGS")
    return {parts[2] for parts in (line.split() for line in out.splitlines()) if len(parts) == 3 and parts[1] in kinds}


def linking_programs(worker: Worker, files: list[str], programs: list[str]) -> dict[str, list[str]]:
    """For each file, the programs whose link pulled in its object file: the
    archives are static, so a program holds an object only if it needs one of
    its symbols."""
    held = {p: defined_symbols(worker.build / p, strong_only=False) for p in programs}
    result = {}
    for file in files:
        own = defined_symbols(worker.object_of(file), strong_only=True)
        result[file] = [p for p in programs if own & held[p]]
    return result


def failing_tests(log_text: str) -> list[str]:
    names = []
    for line in log_text.splitlines():
        if line.startswith("[  FAILED  ] "):
            name = line[13:].split(" ")[0].rstrip(",")
            if "." in name and name not in names:
                names.append(name)
    return names


def test_programs(targets: list[str]) -> list[str]:
    return sorted({RUNS_PROGRAM.get(t, t) for t in targets})


class Runner:
    def __init__(self, args, repo: Path, out: Path):
        self.args, self.repo, self.out = args, repo, out
        self.workers = [Worker(repo, out / f"w{i}") for i in range(args.jobs)]
        self.free: list[Worker] = list(self.workers)
        self.lock = threading.Lock()
        self.baseline: dict[str, float] = {}
        self.targets: dict[str, list[str]] = {}

    def prepare(self, files: list[str]) -> None:
        def setup(worker: Worker) -> None:
            worker.sync()
            worker.configure()
            log_path = worker.root / "setup.log"
            with open(log_path, "w") as log:
                if not worker.ninja(worker.programs(), log):
                    raise SystemExit(f"mutants: the unchanged tree does not build; see {log_path}")

        # The first worker fills the compiler cache, the others then mostly hit it.
        setup(self.workers[0])
        with concurrent.futures.ThreadPoolExecutor(len(self.workers)) as pool:
            list(pool.map(setup, self.workers[1:]))
        first = self.workers[0]
        self.targets = linking_programs(first, files, first.programs())
        needed = sorted({p for t in self.targets.values() for p in test_programs(t)})
        with open(first.root / "baseline.log", "w") as log:
            for program in needed:
                code, seconds = run_group([str(first.build / program), "--gtest_brief=1"], first.build, first.env,
                                          None, log)
                if code != 0:
                    raise SystemExit(f"mutants: {program} fails on the unchanged tree; see {first.root}/baseline.log")
                self.baseline[program] = seconds
                print(f"baseline: {program} {seconds:.1f} s", flush=True)

    def limit(self, program: str) -> float:
        # Only a hang reaches it: ten times the unchanged time, and never less
        # than half a minute (the machine may be busy with other work).
        return max(30.0, 10 * self.baseline[program])

    def test(self, mutant: Mutant) -> Outcome:
        with self.lock:
            worker = self.free.pop()
        try:
            return self._test_on(worker, mutant)
        finally:
            with self.lock:
                self.free.append(worker)

    def _test_on(self, worker: Worker, mutant: Mutant) -> Outcome:
        start = time.monotonic()
        path = worker.src / mutant.file
        original = path.read_text()
        targets = self.targets[mutant.file]
        if not targets:
            raise SystemExit(f"mutants: no program links {mutant.file}, so no test can reach it")
        programs = test_programs(targets)
        log_path = worker.root / "mutant.log"
        try:
            path.write_text(mutant.apply(original))
            with open(log_path, "w") as log:
                if not worker.ninja(targets + [p for p in programs if p not in targets], log):
                    return Outcome(mutant, "stillborn", time.monotonic() - start)
                # The quickest programs first: most mutants die there.
                for program in sorted(programs, key=lambda p: self.baseline[p]):
                    code, _ = run_group([str(worker.build / program), "--gtest_brief=1", "--gtest_fail_fast"],
                                        worker.build, worker.env, self.limit(program), log)
                    if code != 0:
                        log.flush()
                        failed = failing_tests(log_path.read_text(errors="replace"))
                        return Outcome(mutant, "killed", time.monotonic() - start, timed_out=code is None,
                                       failed=failed or [program])
            return Outcome(mutant, "survived", time.monotonic() - start)
        finally:
            path.write_text(original)


def summarize(outcomes: list[Outcome], equivalents: dict) -> dict:
    by_file: dict[str, Counter] = defaultdict(Counter)
    for o in outcomes:
        by_file[o.mutant.file][o.outcome] += 1
        by_file[o.mutant.file]["timed_out"] += o.timed_out

    def score(c: Counter) -> dict:
        killed, survived, equivalent = c["killed"], c["survived"], c["equivalent"]
        counted = killed + survived + equivalent
        return {"killed": killed, "timed_out": c["timed_out"], "survived": survived, "equivalent": equivalent,
                "stillborn": c["stillborn"],
                "score": round(100 * killed / counted, 1) if counted else None,
                "score_without_equivalents": round(100 * killed / (killed + survived), 1) if killed + survived else None}

    total = sum(by_file.values(), Counter())
    return {"total": score(total), "files": {f: score(c) for f, c in sorted(by_file.items())}}


def print_summary(summary: dict, outcomes: list[Outcome]) -> None:
    def pct(v):
        return "   -  " if v is None else f"{v:5.1f}%"

    print(f"\n{'file':28} {'killed':>6} {'hung':>5} {'surv':>5} {'equiv':>5} {'still':>5} {'score':>7} {'w/o eq':>7}")
    for name, s in list(summary["files"].items()) + [("total", summary["total"])]:
        print(f"{name:28} {s['killed']:6} {s['timed_out']:5} {s['survived']:5} {s['equivalent']:5} "
              f"{s['stillborn']:5} {pct(s['score']):>7} {pct(s['score_without_equivalents']):>7}")
    for o in outcomes:
        if o.outcome == "survived":
            m = o.mutant
            print(f"\nSURVIVED {m.file}:{m.line} ({m.operator})\n  - {m.before.strip()}\n  + {m.after.strip()}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repo", type=Path, default=HERE.parent.parent)
    parser.add_argument("--files", default=DEFAULT_FILES, help="globs, relative to the repository, space-separated")
    parser.add_argument("--sample", type=int, default=100)
    parser.add_argument("--all", action="store_true", help="every candidate, not a sample")
    parser.add_argument("--seed", type=int, default=1284)
    parser.add_argument("--jobs", type=int, default=2, help="workers, each with its own build")
    parser.add_argument("--changed", metavar="BASE", help="only the files that differ from revision BASE")
    parser.add_argument("--out", type=Path, default=None, help="default: REPO/build/mutants")
    parser.add_argument("--equivalents", type=Path, default=HERE / "equivalent.json")
    parser.add_argument("--list", action="store_true", help="print the candidates per file and stop")
    args = parser.parse_args()
    if args.jobs < 1 or args.sample < 1:
        parser.error("--jobs and --sample take a positive number")

    repo = args.repo.resolve()
    out = (args.out or repo / "build" / "mutants").resolve()
    equivalents = load_equivalents(args.equivalents)
    files = source_files(repo, args.files.split(), args.changed)
    if not files:
        print("mutants: no source file to mutate" + (f" differs from {args.changed}" if args.changed else ""))
        return 0
    candidates = [m for f in files for m in find(repo / f, f)]
    known = {m.key for m in candidates}
    stale = [k for k in equivalents if k[0] in files and k not in known]
    for file, function, line, becomes, _ in stale:
        print(f"mutants: an equivalent entry matches no candidate any more: {file} {function}: {line} -> {becomes}")

    if args.list:
        for file, count in sorted(Counter(m.file for m in candidates).items()):
            print(f"{count:5} {file}")
        print(f"{len(candidates):5} candidates, {sum(k[0] in files for k in equivalents)} argued equivalent")
        return 0

    chosen = candidates if args.all else draw(candidates, args.sample, args.seed)
    out.mkdir(parents=True, exist_ok=True)
    runner = Runner(args, repo, out)
    began = time.monotonic()
    # What was tested: the work tree as the workers copied it.
    revision = {"commit": git(repo, "rev-parse", "HEAD").strip(),
                "dirty": bool(git(repo, "status", "--porcelain", "--untracked-files=no"))}
    runner.prepare(sorted({m.file for m in chosen}))
    outcomes: list[Outcome] = []
    report_path = out / "report.json"

    def write_report(done: bool) -> dict:
        summary = summarize(outcomes, equivalents)
        report = {**revision, "files": args.files, "changed_from": args.changed, "seed": args.seed, "candidates": len(candidates),
                  "sampled": len(chosen), "finished": done, "minutes": round((time.monotonic() - began) / 60, 1),
                  "baseline_seconds": runner.baseline, **summary,
                  "mutants": [o.as_json() for o in sorted(outcomes, key=lambda o: (o.mutant.file, o.mutant.start))]}
        report_path.write_text(json.dumps(report, indent=1) + "\n")
        return summary

    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = [pool.submit(runner.test, m) for m in chosen]
        for n, future in enumerate(concurrent.futures.as_completed(futures), 1):
            outcome = future.result()
            why = equivalents.get(outcome.mutant.key)
            if outcome.outcome == "survived" and why:
                outcome.outcome, outcome.why = "equivalent", why
            outcomes.append(outcome)
            m = outcome.mutant
            print(f"[{n}/{len(chosen)}] {outcome.outcome:10} {outcome.seconds:5.0f} s  {m.file}:{m.line} "
                  f"{m.operator}: {m.after.strip()[:70]}", flush=True)
            write_report(False)
    summary = write_report(True)
    print_summary(summary, outcomes)
    print(f"\n{report_path} ({(time.monotonic() - began) / 60:.1f} minutes)")
    return 1 if summary["total"]["survived"] else 0


if __name__ == "__main__":
    sys.exit(main())
