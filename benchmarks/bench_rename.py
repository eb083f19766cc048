#!/usr/bin/env python3
"""Moving a directory of many files: PyFs.rename against the layer's move, in one run.

The layer's quorvex_fs.move of a directory copies the tree and removes the source;
PyFs.rename moves the entry itself (and, for a move to another depth, gives every node
below it its new depth). Each is timed on a fresh directory of N files
(16 bytes each), best of a few rounds, taking turns; the ratio is what counts.

    PYTHONPATH=build/bench:python python3 benchmarks/bench_rename.py [--files 10000]
"""

from __future__ import annotations

import argparse
from time import perf_counter_ns

import quorvex
import quorvex_fs

CONTENT = b"0123456789abcdef"


def filled(files: int) -> quorvex.PyFs:
    fs = quorvex.PyFs()
    for directory in ("/src", "/dst", "/dst/deeper"):
        fs.mkdir(directory)
    fs.mkdir("/src/tree")
    for i in range(files):
        handle = fs.open(f"/src/tree/f{i}", "w")
        handle.write(CONTENT)
        handle.close()
    return fs


def best_ns(move, target: str, files: int, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        fs = filled(files)
        start = perf_counter_ns()
        move(fs, "/src/tree", target)
        best = min(best, perf_counter_ns() - start)
        assert fs.listdir(target)[0][:1] == ["f0"] and fs.listdir("/src") == ([], [])
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    # The same depth moves the entry alone; one level deeper gives every file its depth.
    same = best_ns(quorvex.PyFs.rename, "/dst/tree", args.files, args.rounds)
    deeper = best_ns(quorvex.PyFs.rename, "/dst/deeper/tree", args.files, args.rounds)
    layer = best_ns(quorvex_fs.move, "/dst/tree", args.files, max(1, args.rounds // 2))
    print(f"moving a directory of {args.files:,} files, best of {args.rounds} rounds:")
    print(f"  PyFs.rename, same depth     {same / 1e3:12.1f} us")
    print(f"  PyFs.rename, one deeper     {deeper / 1e3:12.1f} us")
    print(f"  quorvex_fs.move (copy)      {layer / 1e3:12.1f} us")
    print(f"  move / rename, same depth   {layer / same:12.0f}x")
    print(f"  move / rename, one deeper   {layer / deeper:12.0f}x")


if __name__ == "__main__":
    main()
