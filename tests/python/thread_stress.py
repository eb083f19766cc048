"""Many Python threads on one PyFs, every call checked against a model.

Each thread owns a directory (/t<n>) and a model of it (names and every file's bytes), so
each of its results is known whatever the other threads do. Around that, the threads share
what may be shared:
  - /const, made before the threads start and never changed: tree and a shared PyTerm's
    ls and cat (the terminal's working directory) must give the same text every time;
  - /hot: each thread keeps one read handle on a file of constant bytes in a shared slot,
    which the other threads call (read, readinto, seek, tell, id, str) while the owner
    closes it and opens the next one: a call gives correct bytes or "Invalid file
    descriptor", never anything else;
  - a queue of handles, each opened by one thread and read and closed by another;
  - str(fs) and tree("/") of the whole, changing tree.

Every successful read prints its line on fd 1, so the parent checks that each line came
out whole and that there is one per read. The run is bounded by its rounds and by a time
cap (which only cuts rounds short); seeds are fixed per thread. Prints a JSON summary on
stderr and exits 1 when any check failed.

    python thread_stress.py [--threads 8] [--rounds 200] [--seed 1] [--cap 120]
"""

from __future__ import annotations

import argparse
import contextlib
import json
import queue
import random
import sys
import threading
import time

import quorvex

CONST_TREE = "a\nb\n"  # tree("/const"): its files, each on a line
HOT = b"\xab" * 64
MISSING = "Inode not found"
CLOSED = "Invalid file descriptor"


def pass_bytes(owner: int, number: int) -> bytes:
    return f"handle {owner}.{number} ".encode() * (1 + number % 5)


class Worker:
    def __init__(self, index, fs, term, shared, rounds, seed, deadline):
        self.t, self.fs, self.term, self.shared = index, fs, term, shared
        self.rounds, self.rng, self.deadline = rounds, random.Random(seed + index), deadline
        self.root = f"/t{index}"
        self.files: dict[str, bytes] = {}
        self.dirs: set[str] = set()
        self.reads = 0
        self.passed = 0

    # ---- own directory, checked exactly ----------------------------------------------

    def name(self, kind):
        return f"{self.root}/{kind}{self.rng.randrange(6)}"

    def expect_error(self, message, call, *args):
        try:
            call(*args)
        except ValueError as error:
            assert str(error) == message, (str(error), message)
        else:
            raise AssertionError(f"{call.__name__}{args} did not fail with {message!r}")

    def create(self):
        kind = self.rng.choice(("d", "f"))
        path = self.name(kind)
        make = self.fs.mkdir if kind == "d" else self.fs.touch
        if path in self.dirs or path in self.files:
            self.expect_error("Resource already exists", make, path)
        elif kind == "d" and self.rng.random() < 0.3:
            assert self.term.exec(f"mkdir {path}") == ""
            self.dirs.add(path)
        else:
            make(path)
            (self.dirs.add(path) if kind == "d" else self.files.__setitem__(path, b""))

    def remove(self):
        path = self.rng.choice([*self.files, *self.dirs, self.root + "/gone"])
        if path not in self.files and path not in self.dirs:
            self.expect_error(MISSING, self.fs.remove, path, False)
            return
        self.fs.remove(path, recurse=False)
        self.files.pop(path, None)
        self.dirs.discard(path)

    def change(self):
        path = self.name("f")
        with contextlib.closing(self.fs.open(path, "rw")) as handle:
            data = bytearray(self.files.setdefault(path, b""))
            if self.rng.random() < 0.3:
                size = self.rng.randrange(40)
                assert handle.truncate(size) == size
                data = data[:size] + bytes(max(0, size - len(data)))
            else:
                offset = self.rng.randrange(len(data) + 4)
                chunk = bytes(self.rng.randrange(256) for _ in range(self.rng.randrange(1, 12)))
                assert handle.seek(offset, quorvex.Whence.SEEK_SET) is None
                offset = min(offset, len(data))  # a seek stays inside the file
                assert handle.write(chunk) == len(chunk)
                assert handle.tell() == offset  # writing does not move the offset
                data[offset:offset + len(chunk)] = chunk
            self.files[path] = bytes(data)
            handle.seek(0, quorvex.Whence.SEEK_SET)
            buffer = bytearray(len(data) + 3)
            assert buffer[:handle.readinto(buffer)] == data

    def read(self):
        path = self.name("f")
        if path not in self.files:
            self.expect_error(MISSING, self.fs.open_existing, path, "r")
            return
        handle = self.fs.open_existing(path, "r")
        first = handle.id()
        assert handle.read(1 << 20) == self.files[path]
        self.reads += 1
        assert handle.id() == first and handle.tell() == len(self.files[path])
        assert str(handle).startswith(f"FileHandle {{ id: Some({first}),")
        assert handle.close() is None

    def listdir(self):
        files, dirs = self.fs.listdir(self.root)
        assert {f"{self.root}/{n}" for n in files} == set(self.files)
        assert {f"{self.root}/{n}" for n in dirs} == self.dirs

    # ---- shared ------------------------------------------------------------------------

    def constants(self):
        assert self.fs.tree("/const") == CONST_TREE
        assert self.term.exec("ls /const") == "a\nb\n"
        assert self.term.exec("cat a") == "alpha"  # the terminal works in /const
        assert str(self.fs).startswith("FileSystem { inodes: {")
        try:
            self.fs.tree("/")
        except ValueError as error:  # a node removed while the rendering passed by
            assert str(error) == MISSING

    def hot(self):
        slots = self.shared["hot"]
        if self.rng.random() < 0.2:
            old, slots[self.t] = slots[self.t], self.fs.open(f"/hot/h{self.t}", "r")
            old.close()  # while other threads may be calling it
            return
        handle = slots[self.rng.randrange(len(slots))]
        call = self.rng.randrange(6)
        try:
            if call == 0:
                got = handle.read(self.rng.randrange(1, 9))
                self.reads += 1
                assert got == HOT[:len(got)]
            elif call == 1:
                buffer = bytearray(8)
                count = handle.readinto(buffer)
                assert buffer[:count] == HOT[:count]
            elif call == 2:
                handle.seek(self.rng.randrange(80), quorvex.Whence.SEEK_SET)
            elif call == 3:
                assert 0 <= handle.tell() <= len(HOT)
            elif call == 4:
                assert isinstance(handle.id(), int)
            else:
                assert str(handle).startswith("FileHandle { id: ")
        except ValueError as error:
            assert str(error) == CLOSED, str(error)

    def pass_handle(self):
        number = self.rng.randrange(4)
        self.shared["queue"].put((self.fs.open(f"/pass/p{self.t}.{number}", "r"),
                                  pass_bytes(self.t, number)))
        try:
            handle, expected = self.shared["queue"].get_nowait()
        except queue.Empty:
            return
        assert handle.read(1 << 16) == expected
        self.reads += 1
        self.passed += 1
        if self.rng.random() < 0.5:
            handle.close()  # otherwise dropped: destruction closes it

    def run(self):
        for path in (f"/hot/h{self.t}", *(f"/pass/p{self.t}.{n}" for n in range(4))):
            with contextlib.closing(self.fs.open(path, "w")) as handle:
                handle.write(HOT if path.startswith("/hot") else
                             pass_bytes(self.t, int(path.rsplit(".", 1)[1])))
        self.shared["hot"][self.t] = self.fs.open(f"/hot/h{self.t}", "r")
        self.fs.mkdir(self.root)
        self.shared["barrier"].wait()
        steps = (self.create, self.remove, self.change, self.read, self.listdir,
                 self.constants, self.hot, self.pass_handle)
        weights = (3, 2, 4, 3, 1, 1, 4, 1)
        for done in range(self.rounds):
            if time.monotonic() > self.deadline:
                return done
            self.rng.choices(steps, weights)[0]()
        return self.rounds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cap", type=float, default=120.0, help="seconds")
    options = parser.parse_args()

    fs = quorvex.PyFs()
    for path in ("/const", "/hot", "/pass"):
        fs.mkdir(path)
    for name, text in (("a", b"alpha"), ("b", b"")):
        with contextlib.closing(fs.open(f"/const/{name}", "w")) as handle:
            handle.write(text)
    term = quorvex.PyTerm(fs)
    term.exec("cd /const")
    shared = {"hot": [None] * options.threads, "queue": queue.Queue(),
              "barrier": threading.Barrier(options.threads)}
    deadline = time.monotonic() + options.cap
    workers = [Worker(i, fs, term, shared, options.rounds, options.seed, deadline)
               for i in range(options.threads)]
    errors, rounds = [], []

    def guarded(worker):
        try:
            rounds.append(worker.run())
        except BaseException as error:  # InternalFailure derives from BaseException
            errors.append(f"thread {worker.t}: {type(error).__name__}: {error!r}")
            shared["barrier"].abort()

    threads = [threading.Thread(target=guarded, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(options.cap + 60)
    if any(thread.is_alive() for thread in threads):
        errors.append("a thread did not finish: deadlock?")
    try:
        for worker in workers:
            if not errors:
                worker.listdir()
    except AssertionError as error:
        errors.append(f"final listing: {error!r}")
    print(json.dumps({"reads": sum(w.reads for w in workers), "rounds": sum(rounds),
                      "passed": sum(w.passed for w in workers), "errors": errors,
                      "gil": getattr(sys, "_is_gil_enabled", lambda: True)()}),
          file=sys.stderr)
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
