#!/usr/bin/env python3
"""Timings of quorvex from Python, next to other in-memory file systems.

Every workload runs through one small adapter per implementation, all with the same
methods, in the same process and the same run:

  quorvex       this module (PyFs, PyFileHandle, Whence)
  fs.MemoryFS   PyFilesystem2's MemoryFS
  pyfakefs      pyfakefs's FakeFilesystem, driven through its own API and FakeOsModule
  fsspec        fsspec's MemoryFileSystem (its store is global: emptied around every use)
  tmpfs         the kernel's tmpfs through os, in a directory under /dev/shm
  dict          a pure-Python dict of dicts holding bytearrays: the interpreter's floor

Figures are nanoseconds per operation: the best of the repeats and their median. The
ratio column is an implementation's best divided by quorvex's best (above 1: slower than
quorvex). One trivial C call from Python (len(b"")) is timed too, as the lower bound of
any call. Implementations that are not installed are skipped with a note. Nothing here
asserts on time; this is not part of the test run.

    python3 benchmarks/bench_python.py                 # every workload (a few minutes)
    python3 benchmarks/bench_python.py --quick         # smaller sizes, fewer repeats
    python3 benchmarks/bench_python.py --only touch10k --only small_read
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib.metadata
import os
import platform
import shutil
import statistics
import sys
import tempfile
import warnings
from dataclasses import dataclass
from time import perf_counter_ns
from typing import Any, Callable

warnings.filterwarnings("ignore", category=DeprecationWarning)
warnings.filterwarnings("ignore", category=UserWarning)  # pkg_resources, imported by fs

PIECE = 64 * 1024
MIB = 1024 * 1024
SMALL = b"0123456789abcdef"
DEEP_LEVELS = 64  # the deepest a quorvex node may be: 63 directories and a file


@contextlib.contextmanager
def stdout_to_devnull():
    """Points file descriptor 1 at /dev/null (quorvex's read prints a line per call)."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


# --- adapters ---------------------------------------------------------------------------
# Each makes a fresh, empty file system and offers mkdir, touch, open(path, "r" | "w"),
# listdir, tree (a full walk for the peers), rmtree and close. Paths are absolute and
# "/"-separated. open returns the implementation's own handle, so per-call figures time
# its read/write/seek/tell directly.


class Adapter:
    name = ""
    SEEK_SET, SEEK_CUR = os.SEEK_SET, os.SEEK_CUR
    write_advances = True  # quorvex's write leaves the offset where it was

    requires = ""  # the module the adapter imports, if any
    missing_hint = "not installed"

    @classmethod
    def available(cls) -> str | None:
        """None when usable, otherwise why not."""
        if not cls.requires:
            return None
        try:
            importlib.import_module(cls.requires)
        except ImportError as error:
            return f"{cls.missing_hint} ({error})"
        return None

    def quiet(self):
        return contextlib.nullcontext()

    def close(self) -> None:
        pass


class Quorvex(Adapter):
    name = "quorvex"
    write_advances = False

    requires = "quorvex"
    missing_hint = "not importable; put the build directory on PYTHONPATH"

    def __init__(self):
        import quorvex

        fs = quorvex.PyFs()
        self.SEEK_SET, self.SEEK_CUR = quorvex.Whence.SEEK_SET, quorvex.Whence.SEEK_CUR
        self.mkdir, self.touch, self.open = fs.mkdir, fs.touch, fs.open
        self.listdir, self.tree = fs.listdir, fs.tree
        self.rmtree = lambda path: fs.remove(path, True)

    def quiet(self):
        return stdout_to_devnull()


class PyFs2(Adapter):
    name = "fs.MemoryFS"

    requires = "fs.memoryfs"

    def __init__(self):
        import fs.memoryfs

        self.fs = fs.memoryfs.MemoryFS()
        self.mkdir, self.touch, self.open = self.fs.makedir, self.fs.touch, self.fs.openbin
        self.listdir, self.rmtree = self.fs.listdir, self.fs.removetree
        self.tree = lambda path: list(self.fs.walk.walk(path))

    def close(self):
        self.fs.close()


class PyFakeFs(Adapter):
    name = "pyfakefs"

    requires = "pyfakefs.fake_filesystem"

    def __init__(self):
        from pyfakefs import fake_filesystem, fake_open, fake_os

        fs = fake_filesystem.FakeFilesystem()
        fake = fake_os.FakeOsModule(fs)
        opener = fake_open.FakeFileOpen(fs)
        self.mkdir, self.touch, self.listdir = fake.mkdir, fs.create_file, fake.listdir
        self.open = lambda path, mode: opener(path, mode + "b")
        self.tree = lambda path: list(fake.walk(path))
        self.rmtree = fs.remove_object


class FsspecMemory(Adapter):
    name = "fsspec"

    requires = "fsspec.implementations.memory"

    def __init__(self):
        from fsspec.implementations.memory import MemoryFileSystem

        self.cls = MemoryFileSystem
        self.close()  # the store is class-wide: start from an empty one
        fs = MemoryFileSystem(skip_instance_cache=True)
        self.mkdir, self.touch = fs.mkdir, fs.touch
        self.open = lambda path, mode: fs.open(path, mode + "b")
        self.listdir = lambda path: fs.ls(path, detail=False)
        self.tree = lambda path: list(fs.walk(path))
        self.rmtree = lambda path: fs.rm(path, recursive=True)

    def close(self):
        self.cls.store.clear()
        self.cls.pseudo_dirs[:] = [""]


class Tmpfs(Adapter):
    name = "tmpfs (os)"

    @staticmethod
    def available():
        return None if os.path.isdir("/dev/shm") else "/dev/shm is absent"

    def __init__(self):
        self.root = root = tempfile.mkdtemp(prefix="quorvex-bench-", dir="/dev/shm")
        flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY
        self.mkdir = lambda path: os.mkdir(root + path)
        self.touch = lambda path: os.close(os.open(root + path, flags, 0o644))
        # Unbuffered: every read, write, seek and tell is a system call.
        self.open = lambda path, mode: open(root + path, mode + "b", buffering=0)
        self.listdir = lambda path: os.listdir(root + path)
        self.tree = lambda path: list(os.walk(root + path))
        self.rmtree = lambda path: shutil.rmtree(root + path)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


class DictHandle:
    """A pure-Python file handle over a bytearray."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytearray):
        self.data, self.pos = data, 0

    def read(self, size: int) -> bytes:
        chunk = bytes(self.data[self.pos : self.pos + size])
        self.pos += len(chunk)
        return chunk

    def write(self, chunk: bytes) -> int:
        self.data[self.pos : self.pos + len(chunk)] = chunk
        self.pos += len(chunk)
        return len(chunk)

    def seek(self, offset: int, whence: int = 0) -> int:
        self.pos = offset + (self.pos if whence == 1 else len(self.data) if whence == 2 else 0)
        return self.pos

    def tell(self) -> int:
        return self.pos

    def close(self) -> None:
        self.data = None


class DictFs(Adapter):
    """Directories are dicts, files bytearrays: what plain Python costs."""

    name = "dict (floor)"

    def __init__(self):
        self.root: dict = {}

    def _node(self, path: str):
        node = self.root
        for part in path.split("/"):
            if part:
                node = node[part]
        return node

    def _create(self, path: str, value) -> None:
        parent, _, name = path.rpartition("/")
        directory = self._node(parent)
        if name in directory:
            raise FileExistsError(path)
        directory[name] = value

    def mkdir(self, path):
        self._create(path, {})

    def touch(self, path):
        self._create(path, bytearray())

    def open(self, path, mode):
        parent, _, name = path.rpartition("/")
        directory = self._node(parent)
        return DictHandle(directory.setdefault(name, bytearray()) if "w" in mode else directory[name])

    def listdir(self, path):
        entries = self._node(path)
        files = [name for name, node in entries.items() if type(node) is bytearray]
        return files, [name for name, node in entries.items() if type(node) is dict]

    def tree(self, path, prefix=""):
        files, dirs = self.listdir(path)
        out = []
        for name in dirs:
            out.append(f"{prefix}{name}/\n")
            out.append(self.tree(f"{path}/{name}", prefix + "  "))
        out.extend(f"{prefix}{name}\n" for name in files)
        return "".join(out)

    def rmtree(self, path):
        parent, _, name = path.rpartition("/")
        del self._node(parent)[name]


ADAPTERS = [Quorvex, PyFs2, PyFakeFs, FsspecMemory, Tmpfs, DictFs]

# --- workloads --------------------------------------------------------------------------


@dataclass
class Workload:
    name: str
    title: str  # what is timed; "{n}" stands for the size
    unit: str  # what one operation is
    n: int  # size at full scale
    setup: Callable[[Adapter, int], Any]  # untimed; its result is handed to run
    run: Callable[[Adapter, Any, int], int | None]  # timed; returns ops if fewer than planned
    ops: Callable[[int], int] = lambda n: n
    fresh: bool = True  # a fresh file system per repeat (the workload changes it)
    cappable: bool = False  # may stop early at the deadline
    teardown: Callable[[Any], None] = lambda state: None


def siblings(a: Adapter, n: int) -> list[str]:
    a.mkdir("/w")
    return [f"/w/n{i}" for i in range(n)]


def deep_file(a: Adapter, _n: int) -> str:
    path = ""
    for _ in range(DEEP_LEVELS - 1):
        path += "/d"
        a.mkdir(path)
    path += "/f"
    a.touch(path)
    return path


def tree_10k(a: Adapter, _n: int = 0) -> None:
    """/t holding 100 directories of 99 files each: 10,000 nodes below /t."""
    a.mkdir("/t")
    for d in range(100):
        a.mkdir(f"/t/d{d}")
        for f in range(99):
            a.touch(f"/t/d{d}/f{f}")


def filled_file(a: Adapter, path: str, size: int) -> None:
    handle = a.open(path, "w")
    for offset in range(0, size, PIECE):
        handle.write(b"x" * min(PIECE, size - offset))
        if not a.write_advances:
            handle.seek(min(PIECE, size - offset), a.SEEK_CUR)
    handle.close()


def opened(mode: str, size: int = 0):
    """Setup of the per-call workloads: a handle on /s, the file holding `size` bytes."""

    def setup(a: Adapter, n: int):
        if size:
            filled_file(a, "/s", size if size > 0 else n * len(SMALL))
        return a.open("/s", mode)

    return setup


def run_create(method: str):
    def run(a, paths, deadline):
        create = getattr(a, method)
        for start in range(0, len(paths), 1000):
            for path in paths[start : start + 1000]:
                create(path)
            if perf_counter_ns() > deadline:
                return min(start + 1000, len(paths))
        return None

    return run


def run_deep_open(a, path, _deadline):
    open_ = a.open
    for _ in range(a.n):
        open_(path, "r").close()


def run_create_write(a, paths, _deadline):
    open_ = a.open
    for path in paths:
        handle = open_(path, "w")
        handle.write(SMALL)
        handle.close()


def setup_write_1m(a, n):
    return [a.open(f"/m{i}", "w") for i in range(n)]


def run_write_1m(a, handles, _deadline):
    piece, advance, cur = b"x" * PIECE, not a.write_advances, a.SEEK_CUR
    for handle in handles:
        write, seek = handle.write, handle.seek
        for _ in range(MIB // PIECE):
            write(piece)
            if advance:
                seek(PIECE, cur)


def setup_read_1m(a, _n):
    filled_file(a, "/m", MIB)
    return a.open("/m", "r")


def run_read_1m(a, handle, _deadline):
    read, seek, start = handle.read, handle.seek, a.SEEK_SET
    for _ in range(a.n):
        seek(0, start)
        for _ in range(MIB // PIECE):
            read(PIECE)


def run_small_read(a, handle, _deadline):
    read = handle.read
    handle.seek(0, a.SEEK_SET)
    for _ in range(a.n):
        read(16)


def run_small_write(a, handle, _deadline):
    write = handle.write
    for _ in range(a.n):
        write(SMALL)


def run_small_seek(a, handle, _deadline):
    seek, start = handle.seek, a.SEEK_SET
    for _ in range(a.n):
        seek(0, start)


def run_small_tell(a, handle, _deadline):
    tell = handle.tell
    for _ in range(a.n):
        tell()


def setup_listdir(a, _n):
    for path in siblings(a, 10_000):
        a.touch(path)


def run_listdir(a, _state, _deadline):
    listdir = a.listdir
    for _ in range(a.n):
        listdir("/w")


def run_tree(a, _state, _deadline):
    a.tree("/t")


def run_rmtree(a, _state, _deadline):
    a.rmtree("/t")


def close_handles(state) -> None:
    for handle in state if isinstance(state, list) else [state]:
        handle.close()


WORKLOADS = [
    Workload("mkdir1k", "mkdir of {n} siblings", "mkdir", 1_000, siblings, run_create("mkdir")),
    Workload("touch1k", "touch of {n} files in one directory", "touch", 1_000, siblings,
             run_create("touch"), cappable=True),
    Workload("touch10k", "touch of {n} files in one directory", "touch", 10_000, siblings,
             run_create("touch"), cappable=True),
    Workload("touch100k", "touch of {n} files in one directory", "touch", 100_000, siblings,
             run_create("touch"), cappable=True),
    Workload("deep_open", "open('r')+close of a file 64 levels deep, {n} times", "open+close",
             1_000, deep_file, run_deep_open, fresh=False),
    Workload("create_write", "open('w')+write(16 bytes)+close of {n} new files",
             "open+write+close", 1_000, siblings, run_create_write),
    Workload("write1m", "write of {n} new 1 MiB files in 64 KiB pieces", "64 KiB write",
             4, setup_write_1m, run_write_1m, ops=lambda n: n * MIB // PIECE,
             teardown=close_handles),
    Workload("read1m", "read of a 1 MiB file in 64 KiB pieces, {n} times (one seek to 0 each)",
             "64 KiB read", 8, setup_read_1m, run_read_1m, ops=lambda n: n * MIB // PIECE,
             fresh=False, teardown=close_handles),
    Workload("small_read", "{n} reads of 16 bytes, sequential through a {n}x16-byte file",
             "read(16)", 10_000, opened("r", -1), run_small_read, fresh=False,
             teardown=close_handles),
    Workload("small_write", "{n} writes of 16 bytes", "write(16 bytes)", 10_000, opened("w"),
             run_small_write, fresh=False, teardown=close_handles),
    Workload("small_seek", "{n} seeks to 0 on a 16-byte file", "seek", 10_000,
             opened("r", 16), run_small_seek, fresh=False, teardown=close_handles),
    Workload("small_tell", "{n} tells on a 16-byte file", "tell", 10_000, opened("r", 16),
             run_small_tell, fresh=False, teardown=close_handles),
    Workload("listdir10k", "listdir of a 10,000-entry directory, {n} times", "entry listed",
             10, setup_listdir, run_listdir, ops=lambda n: n * 10_000, fresh=False),
    Workload("tree10k", "tree of a 10,000-node tree (peers: a full walk)", "node visited", 1,
             tree_10k, run_tree, ops=lambda n: 10_000, fresh=False),
    Workload("rmtree10k", "recursive removal of a 10,000-node tree", "node removed", 1,
             tree_10k, run_rmtree, ops=lambda n: 10_000),
]

# Workloads whose operation is one or two calls from Python, so the C-call floor applies.
PER_CALL = {"mkdir1k", "touch1k", "touch10k", "touch100k", "deep_open", "create_write",
            "small_read", "small_write", "small_seek", "small_tell"}

# --- measuring --------------------------------------------------------------------------


@dataclass
class Cell:
    best: float  # ns per op
    median: float
    repeats: int
    note: str = ""


def timed(fn: Callable[[], Any]) -> int:
    gc.collect()
    gc.disable()
    try:
        start = perf_counter_ns()
        fn()
        return perf_counter_ns() - start
    finally:
        gc.enable()


def measure(wl: Workload, cls: type[Adapter], n: int, args) -> Cell:
    per_op: list[float] = []
    note, stop = "", perf_counter_ns() + int(args.budget * 1e9)
    adapter = state = None
    try:
        while len(per_op) < args.repeat and (not per_op or perf_counter_ns() < stop):
            if adapter is None or wl.fresh:
                adapter = cls()
                adapter.n = n
                state = wl.setup(adapter, n)
            deadline = perf_counter_ns() + int(args.cap * 1e9)
            done: list[int | None] = []
            with adapter.quiet():
                elapsed = timed(lambda: done.append(wl.run(adapter, state, deadline)))
            ops = done[0] if done[0] is not None else wl.ops(n)
            per_op.append(elapsed / ops)
            if done[0] is not None:
                note = f"capped at {ops:,} of {wl.ops(n):,} after {args.cap:g} s; one repeat"
                break
            if wl.fresh:
                wl.teardown(state)
                adapter.close()
                adapter = None
    finally:
        if adapter is not None:
            wl.teardown(state)
            adapter.close()
    return Cell(min(per_op), statistics.median(per_op), len(per_op), note)


def c_call_floor(args) -> float:
    """ns of one trivial C call from Python, loop included: len(b"")."""
    n, f, x = 100_000, len, b""

    def loop():
        for _ in range(n):
            f(x)

    return min(timed(loop) for _ in range(max(args.repeat, 3))) / n


def fmt(ns: float) -> str:
    return f"{ns:,.0f}" if ns >= 100 else f"{ns:,.1f}"


def print_table(wl: Workload, n: int, cells: dict[str, Cell | str], floor: float) -> None:
    print(f"\n== {wl.name}: {wl.title.format(n=f'{n:,}')}  [ns per {wl.unit}]")
    print(f"   {'implementation':<16}{'best':>13}{'median':>13}{'x quorvex':>11}  note")
    base = cells.get("quorvex")
    base_ns = base.best if isinstance(base, Cell) else None
    for name, cell in cells.items():
        if isinstance(cell, str):
            print(f"   {name:<16}{'-':>13}{'-':>13}{'-':>11}  {cell}")
            continue
        ratio = f"{cell.best / base_ns:.2f}" if base_ns else "-"
        note = cell.note or f"{cell.repeats} repeat{'s' * (cell.repeats > 1)}"
        print(f"   {name:<16}{fmt(cell.best):>13}{fmt(cell.median):>13}{ratio:>11}  {note}")
    if wl.name in PER_CALL:
        ratio = f"{floor / base_ns:.2f}" if base_ns else "-"
        print(f"   {'C-call floor':<16}{fmt(floor):>13}{'':>13}{ratio:>11}  len(b'') from Python")
    sys.stdout.flush()


def versions() -> str:
    found = []
    for dist in ("fs", "pyfakefs", "fsspec"):
        try:
            found.append(f"{dist} {importlib.metadata.version(dist)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return ", ".join(found) or "no peers installed"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="a fast smoke run: sizes / 10, two repeats")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="run only this workload (repeatable, or comma-separated): "
                        + ", ".join(w.name for w in WORKLOADS))
    parser.add_argument("--repeat", type=int, help="repeats per measurement (default 5)")
    parser.add_argument("--budget", type=float, default=4.0,
                        help="seconds (setup included) after which no more repeats start (default 4)")
    parser.add_argument("--cap", type=float, default=20.0,
                        help="seconds after which a creation workload stops early (default 20)")
    args = parser.parse_args()
    args.repeat = args.repeat or (2 if args.quick else 5)

    chosen = WORKLOADS
    if args.only:
        names = {name for item in args.only for name in item.split(",") if name}
        unknown = names - {w.name for w in WORKLOADS}
        if unknown:
            parser.error(f"unknown workload(s): {', '.join(sorted(unknown))}")
        chosen = [w for w in WORKLOADS if w.name in names]

    adapters, skipped = [], {}
    for cls in ADAPTERS:
        why = cls.available()
        (adapters.append(cls) if why is None else skipped.__setitem__(cls.name, why))

    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} cores; "
          f"{versions()}")
    if "quorvex" not in skipped:
        import quorvex

        print(f"quorvex from {quorvex.__file__}")
    for name, why in skipped.items():
        print(f"skipped {name}: {why}")
    print("Figures: ns per operation, best and median of the repeats; 'x quorvex' is best / "
          "quorvex's best.\nquorvex's read prints one line per call to fd 1: that is timed "
          "with fd 1 on /dev/null.\nquorvex's write leaves the offset alone: its 1 MiB write "
          "adds a seek(SEEK_CUR) per piece.")
    floor = c_call_floor(args)
    print(f"One trivial C call from Python (len(b''), loop included): {fmt(floor)} ns")

    started = perf_counter_ns()
    for wl in chosen:
        n = max(1, wl.n // 10) if args.quick else wl.n
        cells: dict[str, Cell | str] = {}
        for cls in adapters:
            try:
                cells[cls.name] = measure(wl, cls, n, args)
            except Exception as error:  # a peer that cannot do a workload is reported, not fatal
                cells[cls.name] = f"failed: {type(error).__name__}: {error}"
        cells.update({name: "skipped" for name in skipped})
        print_table(wl, n, cells, floor)
    print(f"\nTotal {(perf_counter_ns() - started) / 1e9:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
