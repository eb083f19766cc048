#!/usr/bin/env python3
"""What a path component, a creation and the small handle calls cost, in instructions.

Each operation is counted under callgrind (instructions do not depend on the machine's
load), as a run of N calls less a run of the same setup without them, divided by N; every
loop has the same shape, so the loop's own cost cancels out of every difference:

  component        (open+close of a file 63 levels deep less one 1 level deep) / 62
  mkdir, touch     less a trivial C call taking the same str: {}.get(path), a builtin
                   method called with one argument by the same fast convention
                   (METH_FASTCALL), whose work is a miss in an empty dict
  rename           rename(path, target) of a file to a new name in its own directory, or
                   into a sibling directory, less a trivial C call taking the same two
                   strs in the same loop over zip(paths, targets): {}.get(path, target)
  open+close       open(path, "r") followed by close() of a file directly under the root
  tell, seek, write(16 bytes)
                   next to a bare method call: "".isascii(), a builtin method without
                   arguments that returns a constant
  open_shared+close
                   open_shared(path, os.O_RDONLY) followed by close(), beside open+close
  write, write_from (64 KiB)
                   one 64 KiB bytes object stored at offset 0 by write, and by write_from
                   (which also moves the offset, sought back to 0 in the same loop step for
                   both)

With --time, open+close of a file 63 directories deep (the deepest a file may be) is
also timed against os.open+os.close of the same path on tmpfs (/dev/shm), taking turns
in the same process; the ratio is tmpfs's best time over quorvex's. So is stat of a file
5 levels deep against os.stat of the same path on tmpfs.

    PYTHONPATH=build/bench python3 benchmarks/path_costs.py [--time] [--calls 2000]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from time import perf_counter_ns

SMALL = b"0123456789abcdef"
BIG = bytes(range(256)) * 256  # 64 KiB


def deep_path(levels: int) -> str:
    """A file below `levels - 1` directories: levels 1 is /f."""
    return "/d" * (levels - 1) + "/f"


def make_file(fs, path: str) -> None:
    parts = path.split("/")[1:]
    for depth in range(1, len(parts)):
        fs.mkdir("/" + "/".join(parts[:depth]))
    fs.touch(path)


def prepare(name: str, n: int):
    """Untimed setup; returns the loop that makes n calls."""
    import quorvex

    fs = quorvex.PyFs()
    paths = [f"/w/n{i}" for i in range(n)]
    fs.mkdir("/w")
    if name in ("mkdir", "touch"):
        create = getattr(fs, name)
        return lambda: [create(p) for p in paths]
    if name.startswith("rename"):
        # A file to a new name in its own directory, or into a sibling directory.
        fs.mkdir("/v")
        for p in paths:
            fs.touch(p)
        targets = [p.replace("/w/n", "/v/n" if name == "rename_across" else "/w/m") for p in paths]
        rename = fs.rename
        return lambda: [rename(p, t) for p, t in zip(paths, targets)]
    if name == "one_str_call":
        trivial = {}.get
        return lambda: [trivial(p) for p in paths]
    if name == "two_str_call":
        trivial, targets = {}.get, [p.replace("/w/n", "/w/m") for p in paths]
        return lambda: [trivial(p, t) for p, t in zip(paths, targets)]
    if name.startswith("open_close_"):
        path = deep_path(int(name.rsplit("_", 1)[1]))
        make_file(fs, path)
        open_ = fs.open
        return lambda: [open_(path, "r").close() for _ in range(n)]
    if name == "open_shared_close":
        fs.touch("/f")
        open_shared, flags = fs.open_shared, os.O_RDONLY
        return lambda: [open_shared("/f", flags).close() for _ in range(n)]
    if name == "bare_call":
        bare = "".isascii
        return lambda: [bare() for _ in range(n)]
    handle = fs.open("/s", "rw")
    handle.write(SMALL)
    if name == "tell":
        tell = handle.tell
        return lambda: [tell() for _ in range(n)]
    if name == "seek":
        seek, start = handle.seek, quorvex.Whence.SEEK_SET
        return lambda: [seek(0, start) for _ in range(n)]
    if name == "write":
        write = handle.write
        return lambda: [write(SMALL) for _ in range(n)]
    if name in ("write_64k", "write_from_64k"):
        write = handle.write if name == "write_64k" else handle.write_from
        seek, start = handle.seek, quorvex.Whence.SEEK_SET
        return lambda: [(write(BIG), seek(0, start)) for _ in range(n)]
    raise ValueError(name)


COUNTED = ["one_str_call", "two_str_call", "mkdir", "touch", "rename", "rename_across", "open_close_1",
           "open_close_63", "bare_call", "tell", "seek", "write", "open_shared_close", "write_64k",
           "write_from_64k"]


def instructions(name: str, n: int, run: bool) -> int:
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
             __file__, "--child", name, str(n), str(int(run))],
            env=dict(os.environ, PYTHONHASHSEED="0"), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, check=True)
        with open(out) as file:
            for line in file:
                if line.startswith(("totals:", "summary:")):
                    return int(line.split()[1])
    raise RuntimeError("no totals in the callgrind output")


def counts(n: int) -> dict[str, float]:
    return {name: (instructions(name, n, True) - instructions(name, n, False)) / n
            for name in COUNTED}


def print_counts(c: dict[str, float]) -> None:
    rows = [
        ("one path component", (c["open_close_63"] - c["open_close_1"]) / 62, "per component"),
        ("mkdir", c["mkdir"] - c["one_str_call"], "above {}.get(path)"),
        ("touch", c["touch"] - c["one_str_call"], "above {}.get(path)"),
        ("rename a file, same directory", c["rename"] - c["two_str_call"],
         "above {}.get(path, target)"),
        ("rename a file, sibling directory", c["rename_across"] - c["two_str_call"],
         "above {}.get(path, target)"),
        ("open('r')+close, 1 deep", c["open_close_1"], "whole loop step"),
        ("open('r')+close, 63 deep", c["open_close_63"], "whole loop step"),
        ("tell", c["tell"], "whole loop step"),
        ("seek(0, SEEK_SET)", c["seek"], "whole loop step"),
        ("write(16 bytes)", c["write"], "whole loop step"),
        ("open_shared(O_RDONLY)+close", c["open_shared_close"], "whole loop step"),
        ("write(64 KiB)+seek", c["write_64k"], "whole loop step"),
        ("write_from(64 KiB)+seek", c["write_from_64k"], "whole loop step"),
        ('bare method call "".isascii()', c["bare_call"], "whole loop step"),
        ("one-str C call {}.get(path)", c["one_str_call"], "whole loop step"),
        ("two-str C call {}.get(p, t)", c["two_str_call"], "whole loop step"),
    ]
    print(f"{'operation':34}{'instructions':>14}  measured as")
    for label, value, how in rows:
        print(f"{label:34}{value:>14,.0f}  {how}")


def time_deep(rounds: int, n: int) -> None:
    """Best ns of open+close 63 directories deep: quorvex against os.open on tmpfs."""
    import quorvex

    fs = quorvex.PyFs()
    path = deep_path(64)
    make_file(fs, path)
    root = tempfile.mkdtemp(prefix="quorvex-paths-", dir="/dev/shm")
    try:
        os.makedirs(os.path.dirname(root + path))
        os.close(os.open(root + path, os.O_CREAT | os.O_WRONLY, 0o644))
        host_path, flags = root + path, os.O_RDONLY
        open_, os_open, os_close = fs.open, os.open, os.close

        def ours():
            for _ in range(n):
                open_(path, "r").close()

        def kernel():
            for _ in range(n):
                os_close(os_open(host_path, flags))

        best = {"quorvex": float("inf"), "tmpfs": float("inf")}
        for _ in range(rounds):
            for label, loop in (("quorvex", ours), ("tmpfs", kernel)):
                start = perf_counter_ns()
                loop()
                best[label] = min(best[label], (perf_counter_ns() - start) / n)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"\nopen+close of a file 63 directories deep, best of {rounds} rounds of {n:,}:")
    print(f"  quorvex open('r')+close   {best['quorvex']:8.0f} ns")
    print(f"  tmpfs os.open+os.close    {best['tmpfs']:8.0f} ns")
    print(f"  tmpfs / quorvex           {best['tmpfs'] / best['quorvex']:8.2f}x")


def time_stat(rounds: int, n: int) -> None:
    """Best ns of stat of a file 5 levels deep: quorvex against os.stat on tmpfs."""
    import quorvex

    fs = quorvex.PyFs()
    path = deep_path(5)
    make_file(fs, path)
    root = tempfile.mkdtemp(prefix="quorvex-stat-", dir="/dev/shm")
    try:
        os.makedirs(os.path.dirname(root + path))
        os.close(os.open(root + path, os.O_CREAT | os.O_WRONLY, 0o644))
        host_path, stat, os_stat = root + path, fs.stat, os.stat

        def ours():
            for _ in range(n):
                stat(path)

        def kernel():
            for _ in range(n):
                os_stat(host_path)

        best = {"quorvex": float("inf"), "tmpfs": float("inf")}
        for _ in range(rounds):
            for label, loop in (("quorvex", ours), ("tmpfs", kernel)):
                start = perf_counter_ns()
                loop()
                best[label] = min(best[label], (perf_counter_ns() - start) / n)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"\nstat of a file 5 levels deep ({path}), best of {rounds} rounds of {n:,}:")
    print(f"  quorvex stat              {best['quorvex']:8.0f} ns")
    print(f"  tmpfs os.stat             {best['tmpfs']:8.0f} ns")
    print(f"  tmpfs / quorvex           {best['tmpfs'] / best['quorvex']:8.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2_000, help="calls per counted run")
    parser.add_argument("--time", action="store_true", help="also time the deep open")
    parser.add_argument("--no-count", action="store_true", help="skip the callgrind counts")
    parser.add_argument("--rounds", type=int, default=20, help="timed rounds (20)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        loop = prepare(args.child[0], int(args.child[1]))
        if args.child[2] == "1":
            loop()
        return
    if not args.no_count:
        print_counts(counts(args.calls))
    if args.time:
        time_deep(args.rounds, 10_000)
        time_stat(args.rounds, 10_000)


if __name__ == "__main__":
    main()
