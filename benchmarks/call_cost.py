"""Per-call cost of the module's hottest calls, compared between builds of it.

Each build directory (one holding a built quorvex module) is measured in its own
subprocesses, the builds taking turns round after round so that a slow spell of the
machine falls on all of them alike; the best time of all rounds is kept. With
--callgrind the cost is also counted in instructions under valgrind, which noise does not
touch: a run of N calls less a run of the same setup without them, divided by N.

    python3 benchmarks/call_cost.py build/abi-full build/abi3 --rounds 5 --callgrind
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from time import perf_counter_ns

SMALL = b"0123456789abcdef"

# name: (what one operation is, calls per timed run)
WORKLOADS = {
    "read": ("read(16)", 20_000),
    "write": ("write(16 bytes)", 20_000),
    "seek": ("seek(0, SEEK_SET)", 20_000),
    "tell": ("tell()", 20_000),
    "touch": ("touch of a new file", 5_000),
    "mkdir": ("mkdir of a new directory", 5_000),
    "open_close": ("open('r')+close", 20_000),
    "listdir": ("entry of a 1,000-entry listdir", 20),
}
LISTDIR_ENTRIES = 1_000


def prepare(name: str, n: int):
    """Untimed setup; returns the loop that makes n calls."""
    import quorvex

    fs = quorvex.PyFs()
    if name in ("read", "write", "seek", "tell"):
        handle = fs.open("/s", "w")
        for _ in range(n if name == "read" else 1):
            handle.write(SMALL)
            handle.seek(len(SMALL), quorvex.Whence.SEEK_CUR)
        handle.close()
        handle = fs.open("/s", "rw")
        if name == "read":
            read = handle.read
            return lambda: [read(16) for _ in range(n)]
        if name == "write":
            write = handle.write
            return lambda: [write(SMALL) for _ in range(n)]
        if name == "seek":
            seek, start = handle.seek, quorvex.Whence.SEEK_SET
            return lambda: [seek(0, start) for _ in range(n)]
        tell = handle.tell
        return lambda: [tell() for _ in range(n)]
    if name in ("touch", "mkdir"):
        fs.mkdir("/w")
        paths = [f"/w/n{i}" for i in range(n)]
        create = getattr(fs, name)
        return lambda: [create(path) for path in paths]
    if name == "open_close":
        fs.mkdir("/d")
        fs.touch("/d/f")
        open_ = fs.open
        return lambda: [open_("/d/f", "r").close() for _ in range(n)]
    if name == "listdir":
        fs.mkdir("/w")
        for i in range(LISTDIR_ENTRIES):
            fs.touch(f"/w/n{i}")
        listdir = fs.listdir
        return lambda: [listdir("/w") for _ in range(n)]
    raise ValueError(name)


def per_op(name: str, n: int) -> int:
    return n * LISTDIR_ENTRIES if name == "listdir" else n


def child_time(names: list[str], repeats: int) -> None:
    """In the measured process: best ns per operation of each workload, as JSON."""
    import gc

    # read() reports every call on file descriptor 1: send that to /dev/null, and the
    # result to the descriptor that was 1.
    sys.stdout.flush()
    result_fd = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    result = {}
    for name in names:
        n = WORKLOADS[name][1]
        best = float("inf")
        for _ in range(repeats):
            loop = prepare(name, n)
            gc.collect()
            gc.disable()
            start = perf_counter_ns()
            loop()
            elapsed = perf_counter_ns() - start
            gc.enable()
            best = min(best, elapsed / per_op(name, n))
        result[name] = best
    os.write(result_fd, (json.dumps(result) + "\n").encode())


def child_count(name: str, n: int, run: bool) -> None:
    """In the process under callgrind: the setup of n calls, then the calls if `run`."""
    loop = prepare(name, n)
    if run:
        loop()


def environment(build: str) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.abspath(build)
    return env


def instructions(build: str, name: str, n: int, run: bool) -> int:
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
             __file__, "--child-count", name, str(n), str(int(run))],
            env=dict(environment(build), PYTHONHASHSEED="0"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(out) as file:
            for line in file:
                if line.startswith("totals:") or line.startswith("summary:"):
                    return int(line.split()[1])
    raise RuntimeError("no totals in the callgrind output")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="*", help="build directories to compare")
    parser.add_argument("--only", action="append", help="workloads (comma-separated): "
                        + ", ".join(WORKLOADS))
    parser.add_argument("--rounds", type=int, default=5, help="turns of every build (5)")
    parser.add_argument("--repeats", type=int, default=5,
                        help="timed runs per workload in each turn (5)")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions per operation under valgrind")
    parser.add_argument("--callgrind-calls", type=int, default=2_000,
                        help="calls in the counted run (2000; listdir: a tenth)")
    parser.add_argument("--child-time", help=argparse.SUPPRESS)
    parser.add_argument("--child-count", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child_time:
        child_time(args.child_time.split(","), args.repeats)
        return
    if args.child_count:
        child_count(args.child_count[0], int(args.child_count[1]), args.child_count[2] == "1")
        return
    if not args.builds:
        parser.error("name at least one build directory")

    names = [n for group in (args.only or [",".join(WORKLOADS)]) for n in group.split(",")]
    for name in names:
        if name not in WORKLOADS:
            parser.error(f"unknown workload {name!r}")

    best = {build: {name: float("inf") for name in names} for build in args.builds}
    for round_index in range(args.rounds):
        for build in args.builds if round_index % 2 == 0 else reversed(args.builds):
            done = subprocess.run(
                [sys.executable, __file__, "--child-time", ",".join(names),
                 "--repeats", str(args.repeats)],
                env=environment(build), stdout=subprocess.PIPE, check=True, text=True,
                stderr=subprocess.PIPE)
            for name, value in json.loads(done.stdout).items():
                best[build][name] = min(best[build][name], value)

    counts = {}
    if args.callgrind:
        for build in args.builds:
            for name in names:
                n = args.callgrind_calls // (10 if name == "listdir" else 1)
                counted = instructions(build, name, n, True) - instructions(build, name, n, False)
                counts[(build, name)] = counted / per_op(name, n)

    first = args.builds[0]
    header = f"{'operation':34}" + "".join(f"{os.path.basename(b.rstrip('/')):>14}"
                                            for b in args.builds)
    print("best ns per operation" + (" / instructions per operation" if counts else ""))
    print(header + (f"{'ns ratio':>10}" if len(args.builds) > 1 else ""))
    for name in names:
        row = f"{WORKLOADS[name][0]:34}"
        for build in args.builds:
            cell = f"{best[build][name]:.1f}"
            if counts:
                cell += f" / {counts[(build, name)]:.0f}"
            row += f"{cell:>14}"
        if len(args.builds) > 1:
            row += f"{best[args.builds[-1]][name] / best[first][name]:>10.3f}"
            if counts:
                row += f"{counts[(args.builds[-1], name)] / counts[(first, name)]:>8.3f}"
        print(row)


if __name__ == "__main__":
    main()
