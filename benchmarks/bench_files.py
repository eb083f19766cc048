#!/usr/bin/env python3
"""Timings of Python file objects over quorvex and its peers, all in one run.

Two workloads, each written and then read back:

  small    create a file, write 1 KiB, close; then open it, read it whole, close
           (ns per file, over a batch of 200 fresh names in one directory)
  1 MiB    write a 1 MiB file in 64 KiB pieces, then read it back in 64 KiB pieces
           (ns per file)

Every file is removed, untimed, after each round: no row's directory grows with the
repeats, and every row writes into memory its allocator already holds.

Rows (each skipped with a note when its module is missing):

  quorvex_fs.open   the layer's own open (io.Buffered* over quorvex_fs.FileIO)
  raw core          PyFs.open / write / seek / truncate / readinto / close directly: the
                    least the layer can cost, so layer / raw core is its overhead
  io over BytesIO   io.BufferedWriter / BufferedReader over an io.BytesIO: the io classes
                    alone, over a raw file written in C and no file system at all. This
                    plus the raw core is the least any layer of the standard io objects
                    can cost; it stores nothing, so it is a floor, not a peer
  io over a Python raw
                    the same io classes over a raw file written in Python whose methods
                    do nothing (no file system, nothing stored): what the io classes
                    cost over any raw made of Python methods, as quorvex_fs.FileIO is.
                    This plus the raw core is the floor of the layer's design
  fsspec memory://  fsspec's MemoryFileSystem.open
  builtin (tmpfs)   the builtin open on a directory under /dev/shm

The implementations take turns inside every repeat, so a busy machine slows them all
alike; each row starts a repeat as often as the others, and the order of the turns
changes, so that no row always follows the same one. The figure is the best repeat. The
ratio columns divide a row's time by the layer's (above 1: slower than the layer).
Nothing here asserts on time.

    python3 benchmarks/bench_files.py            # well under a minute
    python3 benchmarks/bench_files.py --quick
    python3 benchmarks/bench_files.py --count    # instructions per file, under callgrind

With --count the workloads of the layer, the raw core, memory:// and tmpfs are also
counted in instructions per file under callgrind, which the machine's load does not
change: each in a process of its own, after one warm-up round, only the instructions of
the counted round (under functools.reduce, the call callgrind's collection is toggled by).
"""

from __future__ import annotations

import argparse
import functools
import gc
import io
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from time import perf_counter_ns
from typing import Any, Callable, Dict, List, Optional

KIB = b"k" * 1024
PIECE = b"p" * (64 * 1024)
PIECES = 16  # 1 MiB


class Row:
    """One way of reaching files: four workload functions over paths like /b/s12."""

    name = ""

    def available(self) -> Optional[str]:
        return None

    def setup(self) -> None:
        pass

    def teardown(self) -> None:
        pass

    def write_small(self, paths: List[str]) -> None:
        raise NotImplementedError

    def read_small(self, paths: List[str]) -> None:
        raise NotImplementedError

    def write_big(self, path: str) -> None:
        raise NotImplementedError

    def read_big(self, path: str) -> None:
        raise NotImplementedError

    def remove(self, path: str) -> None:
        raise NotImplementedError


class OpenRow(Row):
    """A row whose files come from an open(path, mode) function, used with `with`."""

    def opener(self) -> Callable[[str, str], Any]:
        raise NotImplementedError

    def setup(self) -> None:
        self.open = self.opener()

    def write_small(self, paths: List[str]) -> None:
        open_ = self.open
        for path in paths:
            with open_(path, "wb") as f:
                f.write(KIB)

    def read_small(self, paths: List[str]) -> None:
        open_ = self.open
        for path in paths:
            with open_(path, "rb") as f:
                f.read()

    def write_big(self, path: str) -> None:
        with self.open(path, "wb") as f:
            for _ in range(PIECES):
                f.write(PIECE)

    def read_big(self, path: str) -> None:
        with self.open(path, "rb") as f:
            while f.read(len(PIECE)):
                pass


class Layer(OpenRow):
    name = "quorvex_fs.open"

    def available(self) -> Optional[str]:
        try:
            import quorvex_fs  # noqa: F401
        except ImportError as error:
            return "not importable (%s)" % error
        return None

    def opener(self) -> Callable[[str, str], Any]:
        import quorvex
        import quorvex_fs

        self.fs = fs = quorvex.PyFs()
        fs.mkdir("/b")
        return lambda path, mode: quorvex_fs.open(fs, path, mode)

    def remove(self, path: str) -> None:
        self.fs.remove(path, False)


class RawCore(Row):
    name = "raw core"

    def available(self) -> Optional[str]:
        try:
            import quorvex
        except ImportError as error:
            return "not importable (%s)" % error
        return None if hasattr(quorvex.PyFileHandle, "readinto") else "no readinto"

    def setup(self) -> None:
        import quorvex

        self.fs = quorvex.PyFs()
        self.fs.mkdir("/b")
        self.SEEK_CUR = quorvex.Whence.SEEK_CUR
        self.buffer = bytearray(len(PIECE))

    def remove(self, path: str) -> None:
        self.fs.remove(path, False)

    def write_small(self, paths: List[str]) -> None:
        open_ = self.fs.open
        for path in paths:
            handle = open_(path, "w")
            handle.truncate(0)
            handle.write(KIB)
            handle.close()

    def read_small(self, paths: List[str]) -> None:
        open_, buffer = self.fs.open_existing, self.buffer
        for path in paths:
            handle = open_(path, "r")
            handle.readinto(buffer)
            handle.close()

    def write_big(self, path: str) -> None:
        handle = self.fs.open(path, "w")
        handle.truncate(0)
        for _ in range(PIECES):
            handle.seek(handle.write(PIECE), self.SEEK_CUR)
        handle.close()

    def read_big(self, path: str) -> None:
        handle = self.fs.open_existing(path, "r")
        view = memoryview(self.buffer)
        while handle.readinto(view):
            bytes(view)  # what a read(n) returns: a bytes object of its own
        handle.close()


class IoFloor(Row):
    name = "io over BytesIO"

    def write_small(self, paths: List[str]) -> None:
        for _ in paths:
            with io.BufferedWriter(io.BytesIO()) as f:
                f.write(KIB)

    def read_small(self, paths: List[str]) -> None:
        for _ in paths:
            with io.BufferedReader(io.BytesIO(KIB)) as f:
                f.read()

    def write_big(self, path: str) -> None:
        with io.BufferedWriter(io.BytesIO()) as f:
            for _ in range(PIECES):
                f.write(PIECE)

    def read_big(self, path: str) -> None:
        with io.BufferedReader(io.BytesIO(PIECE * PIECES)) as f:
            while f.read(len(PIECE)):
                pass

    def remove(self, path: str) -> None:
        pass


class _NullRaw(io.RawIOBase):
    """A raw file of Python methods that store nothing.

    `data` is what readall gives; readinto reports `left` bytes in all, copying none.
    """

    __slots__ = ("closed", "data", "left")

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return 0

    def readinto(self, buffer: Any) -> int:
        count = min(len(buffer), self.left)
        self.left -= count
        return count

    def readall(self) -> bytes:
        data: bytes = self.data
        return data

    def write(self, data: Any) -> int:
        return len(data)

    def close(self) -> None:
        self.closed = True


def _null_raw(data: bytes = b"", left: int = 0) -> _NullRaw:
    raw = _NullRaw.__new__(_NullRaw)
    raw.closed = False
    raw.data = data
    raw.left = left
    return raw


class PythonRawFloor(Row):
    name = "io over a Python raw"

    def write_small(self, paths: List[str]) -> None:
        for _ in paths:
            with io.BufferedWriter(_null_raw()) as f:
                f.write(KIB)

    def read_small(self, paths: List[str]) -> None:
        for _ in paths:
            with io.BufferedReader(_null_raw(KIB)) as f:
                f.read()

    def write_big(self, path: str) -> None:
        with io.BufferedWriter(_null_raw()) as f:
            for _ in range(PIECES):
                f.write(PIECE)

    def read_big(self, path: str) -> None:
        with io.BufferedReader(_null_raw(left=len(PIECE) * PIECES)) as f:
            while f.read(len(PIECE)):
                pass

    def remove(self, path: str) -> None:
        pass


class FsspecMemory(OpenRow):
    name = "fsspec memory://"

    def available(self) -> Optional[str]:
        try:
            import fsspec  # noqa: F401
        except ImportError as error:
            return "not installed (%s)" % error
        return None

    def opener(self) -> Callable[[str, str], Any]:
        import fsspec

        self.fs = fsspec.filesystem("memory", skip_instance_cache=True)
        self.teardown()
        self.fs.mkdir("/b")
        return self.fs.open

    def remove(self, path: str) -> None:
        self.fs.rm(path)

    def teardown(self) -> None:
        self.fs.store.clear()
        self.fs.pseudo_dirs[:] = [""]


class BuiltinTmpfs(OpenRow):
    name = "builtin (tmpfs)"

    def available(self) -> Optional[str]:
        return None if os.path.isdir("/dev/shm") else "/dev/shm is absent"

    def opener(self) -> Callable[[str, str], Any]:
        self.root = root = tempfile.mkdtemp(prefix="quorvex-bench-", dir="/dev/shm")
        os.mkdir(root + "/b")
        return lambda path, mode: open(root + path, mode)

    def remove(self, path: str) -> None:
        os.remove(self.root + path)

    def teardown(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)


ROWS: List[Row] = [Layer(), RawCore(), IoFloor(), PythonRawFloor(), FsspecMemory(),
                   BuiltinTmpfs()]
COLUMNS = ["small write", "small read", "1 MiB write", "1 MiB read"]


def timed(work: Callable[[], None]) -> int:
    gc.disable()
    try:
        start = perf_counter_ns()
        work()
        return perf_counter_ns() - start
    finally:
        gc.enable()


def run(rows: List[Row], files: int, repeats: int) -> Dict[str, Dict[str, float]]:
    best: Dict[str, Dict[str, float]] = {row.name: {} for row in rows}
    for row in rows:
        row.setup()
    try:
        # The first row of a repeat meets memory the last repeat's removals gave back (a
        # large write there pays for fresh pages), so each row takes that turn alike. And
        # no row always comes right after the same one: a 1 MiB write just after another
        # row's round of small files (the kernel's work for tmpfs, memory://'s Python
        # objects) finds the cache emptied and takes two to three times as long, so a
        # fixed order would charge that to one row in every repeat. The order is shuffled
        # afresh (the same way in every run) each time all rows have been first once.
        order = list(rows)
        shuffler = random.Random(0)
        for repeat in range(repeats):
            turn = repeat % len(rows)
            if turn == 0:
                shuffler.shuffle(order)
            for row in order[turn:] + order[:turn]:
                paths = ["/b/s%d_%d" % (repeat, i) for i in range(files)]
                big = "/b/big%d" % repeat
                figures = {
                    "small write": timed(lambda: row.write_small(paths)) / files,
                    "small read": timed(lambda: row.read_small(paths)) / files,
                    "1 MiB write": timed(lambda: row.write_big(big)),
                    "1 MiB read": timed(lambda: row.read_big(big)),
                }
                for path in paths + [big]:
                    row.remove(path)
                for column, value in figures.items():
                    best[row.name][column] = min(best[row.name].get(column, value), value)
    finally:
        for row in rows:
            row.teardown()
    return best


COUNTED_FILES = 200
# The rows counted by --count: the layer, its floors and its peers (not the io floors).
COUNTED_ROWS = ("quorvex_fs.open", "raw core", "fsspec memory://", "builtin (tmpfs)")


def run_counted(row_name: str, column: str) -> None:
    """In the process under callgrind: a column's workload, once to warm up (lazy imports,
    caches) and once inside functools.reduce, the one call that callgrind counts."""
    row = next(row for row in ROWS if row.name == row_name)
    row.setup()
    for round_ in ("w", "c"):
        paths = ["/b/%s%d" % (round_, i) for i in range(COUNTED_FILES)]
        big = "/b/big" + round_
        setups = {"small read": lambda: row.write_small(paths),
                  "1 MiB read": lambda: row.write_big(big)}
        works = {"small write": lambda: row.write_small(paths),
                 "small read": lambda: row.read_small(paths),
                 "1 MiB write": lambda: row.write_big(big),
                 "1 MiB read": lambda: row.read_big(big)}
        setups.get(column, lambda: None)()
        if round_ == "w":
            works[column]()
        else:
            functools.reduce(lambda _, __: works[column](), [0, 0])
    row.teardown()


def instructions(row_name: str, column: str) -> int:
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        "--toggle-collect=functools_reduce", sys.executable, __file__,
                        "--counted", row_name, column],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as counts:
            total = re.search(r"^totals: (\d+)", counts.read(), re.MULTILINE)
    if total is None:
        raise RuntimeError("no totals in the callgrind output")
    return int(total.group(1))


def print_counts(rows: List[Row]) -> None:
    print()
    print("instructions per file (callgrind); ratio = row / quorvex_fs.open")
    print("| row | " + " | ".join(COLUMNS) + " |")
    print("|---" * (len(COLUMNS) + 1) + "|")
    counts: Dict[str, Dict[str, float]] = {}
    for row in rows:
        counts[row.name] = {}
        for column in COLUMNS:
            files = COUNTED_FILES if column.startswith("small") else 1
            counts[row.name][column] = instructions(row.name, column) / files
    reference = counts.get(Layer.name)
    for row in rows:
        cells = []
        for column in COLUMNS:
            value = counts[row.name][column]
            cell = "{:,.0f}".format(value)
            if reference is not None and row.name != Layer.name:
                cell += " ({:.2f}x)".format(value / reference[column])
            cells.append(cell)
        print("| %s | %s |" % (row.name, " | ".join(cells)))


def main(argv: Optional[List[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer files and repeats")
    parser.add_argument("--repeats", type=int, help="repeats to take the best of (25)")
    parser.add_argument("--count", action="store_true",
                        help="also count instructions per file under callgrind")
    parser.add_argument("--counted", nargs=2, help=argparse.SUPPRESS)
    arguments, _ = parser.parse_known_args(argv)  # tools/bench.sh passes on its own too
    if arguments.counted:
        run_counted(*arguments.counted)
        return
    # A batch of 200 files keeps every row's directory small: the figure is the cost of
    # a file, not of a large directory (where some peers slow down per file).
    files, repeats = (100, 5) if arguments.quick else (200, 25)
    repeats = arguments.repeats or repeats

    rows = []
    for row in ROWS:
        reason = row.available()
        if reason is None:
            rows.append(row)
        else:
            print("skipped %s: %s" % (row.name, reason), file=sys.stderr)
    best = run(rows, files, repeats)

    print("ns per file, best of %d; ratio = row / quorvex_fs.open" % repeats)
    header = "| row | " + " | ".join(COLUMNS) + " |"
    print(header)
    print("|---" * (len(COLUMNS) + 1) + "|")
    reference = best.get(Layer.name)
    for row in rows:
        cells = []
        for column in COLUMNS:
            value = best[row.name][column]
            cell = "{:,.0f}".format(value)
            if reference is not None and row.name != Layer.name:
                cell += " ({:.2f}x)".format(value / reference[column])
            cells.append(cell)
        print("| %s | %s |" % (row.name, " | ".join(cells)))
    if arguments.count:
        print_counts([row for row in rows if row.name in COUNTED_ROWS])


if __name__ == "__main__":
    main()
