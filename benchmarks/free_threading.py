#!/usr/bin/env python3
"""How the throughput of Python threads scales from one thread to two, on quorvex and on
the in-memory file systems of other projects, in the same run.

Three loops, each run by one thread and then by two at once (every thread doing the same
count of operations, started together at a barrier), the throughput being all threads'
operations over the wall time of the slowest:

  open+close  open a file for reading and close it, the files spread over one shared
              directory 8 levels deep
  file cycle  create a file, write 64 bytes, read them back, remove it (one operation
              counted per cycle), each thread in a directory of its own
  listdir     list one shared directory of 1,000 files

Scaling is the best two-thread throughput over the best one-thread throughput; the runs
of each loop alternate between one and two threads, and the spread is the largest
relative distance of a repeat from its best, over both thread counts. On the
free-threaded build (3.13t) the calls really run in parallel, so on two free cores the
ideal scaling is 2.0; on a build with the GIL it stays near 1.0. Each loop checks its
results (every file opened, every byte read back, every listing whole): a row counts
the files lost and the calls that raised. The CPU time the process spent per operation
with two threads over that with one (the lowest of the repeats each) does not depend on
how busy the machine is: near 1.00 when the threads do not slow each other down
(contended memory, spinning), while a lock that makes threads sleep keeps it low as well
and shows only in the scaling.

quorvex reads with readinto, which prints nothing (read prints a line per call).
The peers run where they install: D-MemFS (PyPI d-memfs, MemoryFileSystem),
fsspec's memory:// (MemoryFileSystem, whose store is class-wide) and PyFilesystem2's
MemoryFS (PyPI fs). Nothing here asserts on time; this is not part of the test run.

    PYTHONPATH=build/bench python3.13t benchmarks/free_threading.py [--repeats 7]
"""

from __future__ import annotations

import argparse
import importlib
import sys
import threading
import warnings
from time import perf_counter, process_time

warnings.filterwarnings("ignore", category=DeprecationWarning)
warnings.filterwarnings("ignore", category=UserWarning)  # pkg_resources, imported by fs

DEEP = "/" + "/".join(f"level{i}" for i in range(1, 9))  # 8 directories deep
DEEP_FILES = 64
LISTED = 1000
PAYLOAD = bytes(range(64))


class Quorvex:
    name = "quorvex"

    def __init__(self):
        import quorvex

        self.fs = quorvex.PyFs()

    def mkdir(self, path):
        self.fs.mkdir(path)

    def write_new(self, path, data):
        handle = self.fs.open(path, "w")
        try:
            handle.write(data)
        finally:
            handle.close()

    def open_close(self):
        open_ = self.fs.open
        return lambda path: open_(path, "r").close()

    def read(self, path):
        handle = self.fs.open_existing(path, "r")
        try:
            buffer = bytearray(128)
            return bytes(buffer[:handle.readinto(buffer)])
        finally:
            handle.close()

    def remove(self, path):
        self.fs.remove(path, False)

    def listdir(self, path):
        return len(self.fs.listdir(path)[0])


class DMemFS:
    name = "D-MemFS"
    module = "dmemfs"

    def __init__(self):
        import dmemfs

        self.fs = dmemfs.MemoryFileSystem()

    def mkdir(self, path):
        self.fs.mkdir(path)

    def write_new(self, path, data):
        with self.fs.open(path, "wb") as handle:
            handle.write(data)

    def open_close(self):
        open_ = self.fs.open
        return lambda path: open_(path, "rb").close()

    def read(self, path):
        with self.fs.open(path, "rb") as handle:
            return handle.read()

    def remove(self, path):
        self.fs.remove(path)

    def listdir(self, path):
        return len(self.fs.listdir(path))


class Fsspec:
    name = "fsspec memory://"
    module = "fsspec"

    def __init__(self):
        from fsspec.implementations.memory import MemoryFileSystem

        MemoryFileSystem.store.clear()  # the store is class-wide
        MemoryFileSystem.pseudo_dirs[:] = [""]
        self.fs = MemoryFileSystem(skip_instance_cache=True)

    def mkdir(self, path):
        self.fs.mkdir(path)

    def write_new(self, path, data):
        with self.fs.open(path, "wb") as handle:
            handle.write(data)

    def open_close(self):
        open_ = self.fs.open
        return lambda path: open_(path, "rb").close()

    def read(self, path):
        with self.fs.open(path, "rb") as handle:
            return handle.read()

    def remove(self, path):
        self.fs.rm_file(path)

    def listdir(self, path):
        return len(self.fs.ls(path, detail=False))


class PyFs2:
    name = "fs MemoryFS"
    module = "fs.memoryfs"

    def __init__(self):
        import fs.memoryfs

        self.fs = fs.memoryfs.MemoryFS()

    def mkdir(self, path):
        self.fs.makedir(path)

    def write_new(self, path, data):
        with self.fs.openbin(path, "w") as handle:
            handle.write(data)

    def open_close(self):
        open_ = self.fs.openbin
        return lambda path: open_(path, "r").close()

    def read(self, path):
        with self.fs.openbin(path, "r") as handle:
            return handle.read()

    def remove(self, path):
        self.fs.remove(path)

    def listdir(self, path):
        return len(self.fs.listdir(path))


SYSTEMS = (Quorvex, DMemFS, Fsspec, PyFs2)


class Tally:
    """What went wrong in one loop, across its runs and threads."""

    def __init__(self):
        self.lost = 0
        self.raised: dict[str, int] = {}
        self.lock = threading.Lock()

    def lose(self):
        with self.lock:
            self.lost += 1

    def error(self, error: BaseException):
        with self.lock:
            key = type(error).__name__
            self.raised[key] = self.raised.get(key, 0) + 1

    def text(self):
        parts = [f"{self.lost} lost"] if self.lost else []
        parts += [f"{count} {name}" for name, count in sorted(self.raised.items())]
        return ", ".join(parts) or "none"


# ---- the loops: each makes its setup and returns the body one thread runs ------------


def setup_open_close(system, threads):
    path = ""
    for part in DEEP.split("/")[1:]:
        path += "/" + part
        system.mkdir(path)
    for i in range(DEEP_FILES):
        system.write_new(f"{DEEP}/f{i}", PAYLOAD)

    def body(index, count, tally):
        # Each thread makes its own path strs and its own bound method, so the threads
        # share no Python object that every call would count references on.
        paths = [f"{DEEP}/f{(index * 7 + i) % DEEP_FILES}" for i in range(DEEP_FILES)]
        open_close = system.open_close()
        for i in range(count):
            open_close(paths[i % DEEP_FILES])

    return body


def setup_file_cycle(system, threads):
    system.mkdir("/work")
    runs = [0]
    runs_lock = threading.Lock()

    def body(index, count, tally):
        with runs_lock:
            runs[0] += 1
            root = f"/work/run{runs[0]}"
        system.mkdir(root)
        paths = [f"{root}/f{i}" for i in range(16)]
        write_new, read, remove = system.write_new, system.read, system.remove
        for i in range(count):
            path = paths[i % 16]
            write_new(path, PAYLOAD)
            if read(path) != PAYLOAD:
                tally.lose()
            remove(path)

    return body


def setup_listdir(system, threads):
    system.mkdir("/listed")
    for i in range(LISTED):
        system.write_new(f"/listed/entry{i:04}", b"")

    def body(index, count, tally):
        listdir, path = system.listdir, "/listed"
        for _ in range(count):
            if listdir(path) != LISTED:
                tally.lose()

    return body


# (name, setup, operations counted per step of the body)
LOOPS = (("open+close", setup_open_close, 1), ("file cycle", setup_file_cycle, 1),
         ("listdir", setup_listdir, 1))


def run_threads(body, threads, count, tally):
    """Wall time of `threads` threads each running body(index, count) from one start, and
    the process's CPU time meanwhile."""
    barrier = threading.Barrier(threads + 1)
    done = [0.0] * threads

    def worker(index):
        barrier.wait()
        try:
            body(index, count, tally)
        except Exception as error:  # counted, and the loop's time is then meaningless
            tally.error(error)
        done[index] = perf_counter()

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for thread in workers:
        thread.start()
    cpu = process_time()
    barrier.wait()
    start = perf_counter()
    for thread in workers:
        thread.join()
    return max(done) - start, process_time() - cpu


def measure(system_class, loop, repeats, seconds):
    name, setup, ops_per_step = loop
    system = system_class()
    tally = Tally()
    body = setup(system, 2)
    # One thread's count for about `seconds` per run.
    count = 64
    while (elapsed := run_threads(body, 1, count, tally)[0]) < seconds / 4:
        count *= 2
    count = max(64, int(count * seconds / max(elapsed, 1e-9)))
    best = {1: 0.0, 2: 0.0}
    rates = {1: [], 2: []}
    cpu_per_op = {1: float("inf"), 2: float("inf")}
    for _ in range(repeats):
        for threads in (1, 2):
            elapsed, cpu = run_threads(body, threads, count, tally)
            rate = threads * count * ops_per_step / elapsed
            rates[threads].append(rate)
            best[threads] = max(best[threads], rate)
            cpu_per_op[threads] = min(cpu_per_op[threads], cpu / (threads * count))
    spread = max((best[t] - min(rates[t])) / best[t] for t in (1, 2))
    return best[1], best[2], spread, cpu_per_op[2] / cpu_per_op[1], tally.text()


def available(system_class):
    module = getattr(system_class, "module", None)
    if module is None:
        return True
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=0.3,
                        help="length of one single-thread run")
    parser.add_argument("--only", action="append", help="a system's name (repeatable)")
    options = parser.parse_args()

    gil = getattr(sys, "_is_gil_enabled", lambda: True)
    print(f"Python {sys.version.split()[0]} {sys.implementation.name}, "
          f"GIL {'enabled' if gil() else 'disabled'}, best of {options.repeats}")
    print()
    print("| system | loop | 1 thread, ops/s | 2 threads, ops/s | scaling | spread | "
          "CPU per op, 2 threads / 1 | errors |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    for system_class in SYSTEMS:
        if options.only and system_class.name not in options.only:
            continue
        if not available(system_class):
            print(f"| {system_class.name} | (not installed) | | | | | | |")
            continue
        for loop in LOOPS:
            one, two, spread, cpu, errors = measure(system_class, loop, options.repeats,
                                                    options.seconds)
            print(f"| {system_class.name} | {loop[0]} | {one:,.0f} | {two:,.0f} | "
                  f"{two / one:.2f}x | {spread:.0%} | {cpu:.2f} | {errors} |", flush=True)
    print()
    print(f"GIL at the end: {'enabled' if gil() else 'disabled'}")


if __name__ == "__main__":
    main()
