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
ideal scaling is 2.0; on a build with the GIL it stays near 1.0.

What two free cores give depends on the machine and on what else it runs at the time: on
a virtual machine even two threads that share nothing may not reach 2.0. So each run of
a loop, by one thread and by two, is followed by a run of the same length of a reference
(a pure Python loop, `total += i & 7` over a range of the thread's own), whose figures
make the last row of each system: the ceiling the loops met in the same minutes.

Each loop checks its results (every file opened, every byte read back, every listing
whole): a row counts the files lost and the calls that raised. The CPU time the process
spent per operation with two threads over that with one (the lowest of the repeats each)
depends much less on how busy the machine is (the reference row shows how much): near
1.00 when the threads do not slow each other down (contended memory, spinning), while a
lock that makes threads sleep keeps it low as well and shows only in the scaling.

Each thread calls through a copy of the system's adapter with the file system's methods
bound by that thread, and writes a payload of its own: the threads share no Python object
that every call writes the reference count of, on any system, except the file system
object itself where a system's methods are Python functions (each call counts a reference
on `self`). The cyclic collector stays on, as in any program, for every system alike:
none of the loops keeps enough objects alive to start a collection (3.13t's stops every
thread). quorvex reads with readinto, which prints nothing (read prints a line per call).
The peers run where they install: D-MemFS (PyPI d-memfs, MemoryFileSystem),
fsspec's memory:// (MemoryFileSystem, whose store is class-wide) and PyFilesystem2's
MemoryFS (PyPI fs). Nothing here asserts on time; this is not part of the test run.

    PYTHONPATH=build/bench python3.13t benchmarks/free_threading.py [--repeats 7]
"""

from __future__ import annotations

import argparse
import copy
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


class Adapter:
    """A system's calls as the loops make them. Each of `calls` names a method of the file
    system object, which the adapter's own methods call as `self.fs_<name>`."""

    calls: tuple[str, ...] = ()

    def bind(self):
        for name in self.calls:
            setattr(self, f"fs_{name}", getattr(self.fs, name))
        return self

    def for_thread(self):
        """A copy for the calling thread, with the file system's methods bound by it: the
        threads then share no Python object that every call counts references on but the
        file system object itself, and only where the system's own methods do."""
        return copy.copy(self).bind()


class Quorvex(Adapter):
    name = "quorvex"
    calls = ("mkdir", "open", "open_existing", "remove", "listdir")

    def __init__(self):
        import quorvex

        self.fs = quorvex.PyFs()
        self.bind()

    def mkdir(self, path):
        self.fs_mkdir(path)

    def write_new(self, path, data):
        handle = self.fs_open(path, "w")
        try:
            handle.write(data)
        finally:
            handle.close()

    def open_close(self):
        open_ = self.fs_open
        return lambda path: open_(path, "r").close()

    def read(self, path):
        handle = self.fs_open_existing(path, "r")
        try:
            buffer = bytearray(128)
            return bytes(buffer[:handle.readinto(buffer)])
        finally:
            handle.close()

    def remove(self, path):
        self.fs_remove(path, False)

    def listdir(self, path):
        return len(self.fs_listdir(path)[0])


class DMemFS(Adapter):
    name = "D-MemFS"
    module = "dmemfs"
    calls = ("mkdir", "open", "remove", "listdir")

    def __init__(self):
        import dmemfs

        self.fs = dmemfs.MemoryFileSystem()
        self.bind()

    def mkdir(self, path):
        self.fs_mkdir(path)

    def write_new(self, path, data):
        with self.fs_open(path, "wb") as handle:
            handle.write(data)

    def open_close(self):
        open_ = self.fs_open
        return lambda path: open_(path, "rb").close()

    def read(self, path):
        with self.fs_open(path, "rb") as handle:
            return handle.read()

    def remove(self, path):
        self.fs_remove(path)

    def listdir(self, path):
        return len(self.fs_listdir(path))


class Fsspec(Adapter):
    name = "fsspec memory://"
    module = "fsspec"
    calls = ("mkdir", "open", "rm_file", "ls")

    def __init__(self):
        from fsspec.implementations.memory import MemoryFileSystem

        MemoryFileSystem.store.clear()  # the store is class-wide
        MemoryFileSystem.pseudo_dirs[:] = [""]
        self.fs = MemoryFileSystem(skip_instance_cache=True)
        self.bind()

    def mkdir(self, path):
        self.fs_mkdir(path)

    def write_new(self, path, data):
        with self.fs_open(path, "wb") as handle:
            handle.write(data)

    def open_close(self):
        open_ = self.fs_open
        return lambda path: open_(path, "rb").close()

    def read(self, path):
        with self.fs_open(path, "rb") as handle:
            return handle.read()

    def remove(self, path):
        self.fs_rm_file(path)

    def listdir(self, path):
        return len(self.fs_ls(path, detail=False))


class PyFs2(Adapter):
    name = "fs MemoryFS"
    module = "fs.memoryfs"
    calls = ("makedir", "openbin", "remove", "listdir")

    def __init__(self):
        import fs.memoryfs

        self.fs = fs.memoryfs.MemoryFS()
        self.bind()

    def mkdir(self, path):
        self.fs_makedir(path)

    def write_new(self, path, data):
        with self.fs_openbin(path, "w") as handle:
            handle.write(data)

    def open_close(self):
        open_ = self.fs_openbin
        return lambda path: open_(path, "r").close()

    def read(self, path):
        with self.fs_openbin(path, "r") as handle:
            return handle.read()

    def remove(self, path):
        self.fs_remove(path)

    def listdir(self, path):
        return len(self.fs_listdir(path))


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
        open_close = system.for_thread().open_close()
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
        own = system.for_thread()
        own.mkdir(root)
        paths = [f"{root}/f{i}" for i in range(16)]
        payload = bytes(bytearray(PAYLOAD))  # a copy of the thread's own
        write_new, read, remove = own.write_new, own.read, own.remove
        for i in range(count):
            path = paths[i % 16]
            write_new(path, payload)
            if read(path) != payload:
                tally.lose()
            remove(path)

    return body


def setup_listdir(system, threads):
    system.mkdir("/listed")
    for i in range(LISTED):
        system.write_new(f"/listed/entry{i:04}", b"")

    def body(index, count, tally):
        listdir, path = system.for_thread().listdir, "/listed"
        for _ in range(count):
            if listdir(path) != LISTED:
                tally.lose()

    return body


# (name, setup, operations counted per step of the body)
LOOPS = (("open+close", setup_open_close, 1), ("file cycle", setup_file_cycle, 1),
         ("listdir", setup_listdir, 1))
REFERENCE = "(pure Python, nothing shared)"


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


class Turns:
    """The runs of one body by one thread and by two, taken in turns with other bodies'."""

    def __init__(self, body, seconds, tally):
        self.body, self.tally = body, tally
        # One thread's count for about `seconds` per run.
        count = 64
        while (elapsed := run_threads(body, 1, count, tally)[0]) < seconds / 4:
            count *= 2
        self.count = max(64, int(count * seconds / max(elapsed, 1e-9)))
        self.rates = {1: [], 2: []}
        self.cpu_per_op = {1: float("inf"), 2: float("inf")}

    def take(self, threads, ops_per_step=1):
        elapsed, cpu = run_threads(self.body, threads, self.count, self.tally)
        self.rates[threads].append(threads * self.count * ops_per_step / elapsed)
        self.cpu_per_op[threads] = min(self.cpu_per_op[threads], cpu / (threads * self.count))

    def result(self):
        """The best one-thread and two-thread rates, the spread, the CPU ratio, the errors."""
        best = {threads: max(rates) for threads, rates in self.rates.items()}
        spread = max((best[t] - min(self.rates[t])) / best[t] for t in (1, 2))
        return best[1], best[2], spread, self.cpu_per_op[2] / self.cpu_per_op[1], self.tally.text()


def setup_reference():
    """Pure Python work that shares nothing between the threads: how well this machine lets
    two threads run side by side at the moment, the ceiling of every loop's scaling."""

    def body(index, count, tally):
        total = 0
        for i in range(count):
            total += i & 7

    return body


def measure(system_class, loop, reference, repeats, seconds):
    """The loop's figures; each of its turns is followed by one of `reference`."""
    _, setup, ops_per_step = loop
    system = system_class()
    turns = Turns(setup(system, 2), seconds, Tally())
    for _ in range(repeats):
        for threads in (1, 2):
            turns.take(threads, ops_per_step)
            reference.take(threads)
    return turns.result()


def row(system, loop, figures):
    one, two, spread, cpu, errors = figures
    return (f"| {system} | {loop} | {one:,.0f} | {two:,.0f} | {two / one:.2f}x | {spread:.0%} | "
            f"{cpu:.2f} | {errors} |")


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
        reference = Turns(setup_reference(), options.seconds, Tally())
        for loop in LOOPS:
            figures = measure(system_class, loop, reference, options.repeats, options.seconds)
            print(row(system_class.name, loop[0], figures), flush=True)
        print(row(system_class.name, REFERENCE, reference.result()), flush=True)
    print()
    print(f"GIL at the end: {'enabled' if gil() else 'disabled'}")


if __name__ == "__main__":
    main()
