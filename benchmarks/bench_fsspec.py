#!/usr/bin/env python3
"""Timings of file objects through quorvex_fs, fsspec (quorvex:// and memory://) and peers.

Four workloads, each through every implementation, in the same process and run:

  small write   create a file, write 1 KiB, close                  (per file, 1,000 files)
  small read    open a 1 KiB file, read it, close                  (per file, 1,000 files)
  1 MiB write   open ("wb"), write 1 MiB in 64 KiB pieces, close   (per file, one file
                rewritten 16 times)
  1 MiB read    open, read 1 MiB in 64 KiB pieces, close           (per file)

Implementations:

  quorvex_fs.open       the pure-Python layer's io objects over a PyFs
  core handle           PyFs.open and PyFileHandle.write / readinto (no io objects)
  quorvex fs.open       fsspec's API: a QuorvexFileSystem instance's open
  fsspec.open quorvex   fsspec.open("quorvex://...") with a URL per file
  memory fs.open        fsspec's MemoryFileSystem instance's open
  fsspec.open memory    fsspec.open("memory://...") with a URL per file
  fs.MemoryFS           PyFilesystem2's MemoryFS.openbin
  pyfakefs              pyfakefs's FakeFileOpen over a FakeFilesystem
  builtin open tmpfs    the builtin open on the kernel's tmpfs (/dev/shm)

Figures are microseconds per file: the best of the rounds (median in brackets), and the
ratio of each best to the best of quorvex_fs.open. Missing implementations are skipped.
Nothing here asserts on time.

    python3 benchmarks/bench_fsspec.py             # about a minute
    python3 benchmarks/bench_fsspec.py --quick
    python3 benchmarks/bench_fsspec.py --repeat 20   # on a busy machine: best of more runs
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import shutil
import statistics
import sys
import tempfile
import warnings
from time import perf_counter_ns
from typing import Any, Callable, Iterator

warnings.filterwarnings("ignore", category=DeprecationWarning)
warnings.filterwarnings("ignore", category=UserWarning)  # pkg_resources, imported by fs

KIB = b"k" * 1024
PIECE = 64 * 1024
MIB = 1024 * 1024
BIG_PIECE = b"m" * PIECE

Opener = Callable[[str, str], Any]


# --- implementations: each yields an opener over a fresh, empty directory "/bench" ----


def quorvex_layer() -> Iterator[Opener]:
    import quorvex
    import quorvex_fs

    fs = quorvex.PyFs()
    fs.mkdir("/bench")
    yield lambda path, mode: quorvex_fs.open(fs, path, mode)


class CoreFile:
    """The core handle shaped like a file for the workloads: writes advance by hand."""

    __slots__ = ("handle", "offset")

    def __init__(self, fs: Any, path: str, mode: str) -> None:
        self.handle = fs.open(path, "w" if "w" in mode else "r")
        self.offset = 0

    def write(self, data: bytes) -> int:
        written = self.handle.write(data)
        self.offset += written
        self.handle.seek(self.offset, _SEEK_SET)
        return written

    def readinto(self, buffer: Any) -> int:
        return self.handle.readinto(buffer)

    def __enter__(self) -> CoreFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.handle.close()


_SEEK_SET: Any = None


def quorvex_core() -> Iterator[Opener]:
    import quorvex

    global _SEEK_SET
    _SEEK_SET = quorvex.Whence.SEEK_SET
    fs = quorvex.PyFs()
    fs.mkdir("/bench")
    yield lambda path, mode: CoreFile(fs, path, mode)


def quorvex_fsspec_instance() -> Iterator[Opener]:
    import fsspec
    import quorvex
    import quorvex_fs.fsspec_fs  # noqa: F401  registers quorvex:// in a source checkout

    fs = fsspec.filesystem("quorvex", fs=quorvex.PyFs())
    fs.mkdir("/bench")
    yield fs.open


def quorvex_fsspec_url() -> Iterator[Opener]:
    import fsspec
    from quorvex_fs.fsspec_fs import default_fs

    fs = fsspec.filesystem("quorvex")
    fs.mkdir("/bench")
    try:
        yield lambda path, mode: fsspec.open("quorvex://" + path, mode)
    finally:
        fs.rm("/bench", recursive=True)
        assert default_fs().listdir("/") == ([], [])


def _empty_memory_store() -> Any:
    from fsspec.implementations.memory import MemoryFileSystem

    MemoryFileSystem.store.clear()
    MemoryFileSystem.pseudo_dirs[:] = [""]
    return MemoryFileSystem


def memory_fsspec_instance() -> Iterator[Opener]:
    memory = _empty_memory_store()
    fs = memory(skip_instance_cache=True)
    fs.mkdir("/bench")
    try:
        yield fs.open
    finally:
        _empty_memory_store()


def memory_fsspec_url() -> Iterator[Opener]:
    import fsspec

    memory = _empty_memory_store()
    memory().mkdir("/bench")
    try:
        yield lambda path, mode: fsspec.open("memory://" + path, mode)
    finally:
        _empty_memory_store()


def pyfs2_memoryfs() -> Iterator[Opener]:
    import fs.memoryfs

    memfs = fs.memoryfs.MemoryFS()
    memfs.makedir("/bench")
    try:
        yield memfs.openbin
    finally:
        memfs.close()


def pyfakefs_open() -> Iterator[Opener]:
    from pyfakefs import fake_filesystem, fake_open

    fs = fake_filesystem.FakeFilesystem()
    fs.create_dir("/bench")
    yield fake_open.FakeFileOpen(fs)


def tmpfs_builtin_open() -> Iterator[Opener]:
    if not os.path.isdir("/dev/shm"):
        raise ImportError("/dev/shm is absent")
    root = tempfile.mkdtemp(prefix="quorvex-bench-", dir="/dev/shm")
    os.mkdir(root + "/bench")
    try:
        yield lambda path, mode: open(root + path, mode)
    finally:
        shutil.rmtree(root, ignore_errors=True)


IMPLEMENTATIONS: list[tuple[str, Callable[[], Iterator[Opener]]]] = [
    ("quorvex_fs.open", quorvex_layer),
    ("core handle", quorvex_core),
    ("quorvex fs.open", quorvex_fsspec_instance),
    ("fsspec.open quorvex", quorvex_fsspec_url),
    ("memory fs.open", memory_fsspec_instance),
    ("fsspec.open memory", memory_fsspec_url),
    ("fs.MemoryFS", pyfs2_memoryfs),
    ("pyfakefs", pyfakefs_open),
    ("builtin open tmpfs", tmpfs_builtin_open),
]


# --- workloads: each takes an opener and file names, returns the files handled -----------


def small_write(opener: Opener, names: list[str]) -> int:
    for name in names:
        with opener(name, "wb") as f:
            f.write(KIB)
    return len(names)


def small_read(opener: Opener, names: list[str]) -> int:
    buffer = bytearray(len(KIB))
    for name in names:
        with opener(name, "rb") as f:
            f.readinto(buffer)
    return len(names)


def big_write(opener: Opener, names: list[str]) -> int:
    for name in names:
        with opener(name, "wb") as f:
            for _ in range(MIB // PIECE):
                f.write(BIG_PIECE)
    return len(names)


def big_read(opener: Opener, names: list[str]) -> int:
    buffer = bytearray(PIECE)
    for name in names:
        with opener(name, "rb") as f:
            while f.readinto(buffer):
                pass
    return len(names)


def time_once(work: Callable[[], int]) -> float:
    gc.collect()
    gc.disable()
    try:
        start = perf_counter_ns()
        count = work()
        return (perf_counter_ns() - start) / count / 1000
    finally:
        gc.enable()


def measure_once(factory: Callable[[], Iterator[Opener]], files: int, big_files: int,
                 results: dict[str, list[float]]) -> None:
    """Adds one time per workload, in microseconds per file, on a fresh file system."""
    setup = factory()
    opener = next(setup)
    small = [f"/bench/f{i}" for i in range(files)]
    # One large file, rewritten: the rows time moving bytes, not the first touch of
    # fresh pages.
    big = ["/bench/big"] * big_files
    for label, work, names in [("small write", small_write, small),
                               ("small read", small_read, small),
                               ("1 MiB write", big_write, big),
                               ("1 MiB read", big_read, big)]:
        results.setdefault(label, []).append(time_once(lambda: work(opener, names)))
    setup.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer files and repeats")
    parser.add_argument("--repeat", type=int, help="repeats per measurement (default 5)")
    args = parser.parse_args()
    files, big_files, repeat = (200, 4, 3) if args.quick else (1000, 16, 5)
    repeat = args.repeat or repeat

    # Rounds go through every implementation in turn, so that a busy moment of the
    # machine falls on all of them alike, in an order shuffled afresh for every round
    # (the same way in every run): a 1 MiB write just after another implementation's
    # small files (the kernel's work for tmpfs, a peer's Python objects) finds the cache
    # emptied and takes two to three times as long, and a fixed order would charge that
    # to the same implementation in every round.
    table: dict[str, dict[str, list[float]]] = {name: {} for name, _ in IMPLEMENTATIONS}
    shuffler = random.Random(0)
    for _ in range(repeat):
        order = list(IMPLEMENTATIONS)
        shuffler.shuffle(order)
        for name, factory in order:
            if (name, factory) not in IMPLEMENTATIONS:
                continue  # skipped in an earlier round
            try:
                measure_once(factory, files, big_files, table[name])
            except ImportError as error:
                print(f"{name}: skipped ({error})", file=sys.stderr)
                IMPLEMENTATIONS.remove((name, factory))
                del table[name]
    workloads = ["small write", "small read", "1 MiB write", "1 MiB read"]
    base = table.get("quorvex_fs.open")
    print(f"Python {sys.version.split()[0]}; microseconds per file, best (median); "
          "x = best / best of quorvex_fs.open")
    print("| implementation | " + " | ".join(workloads) + " |")
    print("|---" * (len(workloads) + 1) + "|")
    for name, results in table.items():
        cells = []
        for workload in workloads:
            best = min(results[workload])
            cell = f"{best:,.2f} ({statistics.median(results[workload]):,.2f})"
            if base is not None:
                cell += f" {best / min(base[workload]):.2f}x"
            cells.append(cell)
        print(f"| {name} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
