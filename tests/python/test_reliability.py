"""The module under hostile conditions: a standard output nobody reads, signals during
long calls, small thread stacks, an address-space limit, many repeated calls, and
argument objects that lie about themselves.

Each risky scenario runs in a child interpreter, so that a hang or a crash fails one
test instead of the whole run. Every wait is bounded and generous; nothing is timed."""

import gc
import json
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvex

PYPY = sys.implementation.name == "pypy"
# Under AddressSanitizer the address space is reserved in bulk and freed memory is held
# back, so address-space limits and resident sizes mean nothing there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
TIMEOUT = 120


def run_child(code, **kwargs):
    """Runs `code` in a new interpreter; its last stderr line is a JSON result."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        timeout=TIMEOUT,
        **kwargs,
    )
    assert completed.returncode == 0, completed.stderr.decode(errors="replace")
    return json.loads(completed.stderr.decode().strip().splitlines()[-1])


class LineReader:
    """Collects a child's stderr lines on a thread of its own, so waits can be bounded."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for line in iter(stream.readline, b""):
            self.lines.put(line.decode().strip())
        self.lines.put(None)

    def wait_for(self, wanted, count=1):
        seen = []
        while count:
            line = self.lines.get(timeout=TIMEOUT)
            assert line is not None, f"the child ended before {wanted!r}: {seen}"
            seen.append(line)
            if line == wanted:
                count -= 1
        return seen

    def rest(self):
        lines = []
        while (line := self.lines.get(timeout=TIMEOUT)) is not None:
            lines.append(line)
        return lines


# The child fills its standard output, a pipe the parent never reads, so the read's
# line cannot be written; a second thread keeps reporting on stderr meanwhile.
BLOCKED_READER = """
    import fcntl, json, os, sys, threading, time
    import quorvex

    fs = quorvex.PyFs()
    handle = fs.open("/f", "rw")
    handle.write(b"hello")

    flags = fcntl.fcntl(1, fcntl.F_GETFL)
    fcntl.fcntl(1, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    for chunk in (b"x" * 4096, b"x"):
        try:
            while True:
                os.write(1, chunk)
        except BlockingIOError:
            pass
    fcntl.fcntl(1, fcntl.F_SETFL, flags)

    def tick():
        while True:
            os.write(2, b"tick\\n")
            time.sleep(0.05)

    threading.Thread(target=tick, daemon=True).start()
    os.write(2, b"reading\\n")
    try:
        handle.read(100)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    offset = handle.tell()
    handle.seek(0, quorvex.Whence.SEEK_END)
    end = handle.tell()
    handle.write(b"J")
    handle.close()
    contents = quorvex.PyTerm(fs).exec("cat f")
    os.write(2, (json.dumps([outcome, offset, end, contents]) + "\\n").encode())
"""


@pytest.mark.skipif(PYPY, reason="PyPy's threads and signals are checked on CPython's terms")
def test_a_blocked_standard_output_stops_only_the_reader_and_yields_to_sigint():
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(BLOCKED_READER)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        lines = LineReader(child.stderr)
        lines.wait_for("reading")
        # Other threads go on while the reader waits on the pipe.
        lines.wait_for("tick", count=5)
        child.send_signal(signal.SIGINT)
        result = [line for line in lines.rest() if line.startswith("[")]
        child.wait(timeout=TIMEOUT)
    finally:
        child.kill()
        child.stdout.close()
        child.stderr.close()
    # The read raised and handed out nothing, so its offset is back where it was; the file
    # is as written and the handle still works.
    assert result and json.loads(result[0]) == ["KeyboardInterrupt", 0, 5, "helloJ"]


# ---- signals during long calls ------------------------------------------------------------

LONG_CALLS = """
    import json, os, sys
    import quorvex

    fs = quorvex.PyFs()
    for d in range(100):
        fs.mkdir(f"/d{d}")
        for f in range(100):
            fs.touch(f"/d{d}/f{f}")
    expected = fs.tree("/")
    calls = 0
    try:
        # Inside the try: the signal may come as soon as the parent reads this.
        os.write(2, b"ready\\n")
        while True:
            assert fs.tree("/") == expected
            fs.listdir("/d7")
            fs.mkdir("/scratch")
            for f in range(100):
                fs.touch(f"/scratch/f{f}")
            fs.remove("/scratch", True)
            calls += 1
    except KeyboardInterrupt:
        pass
    # Whichever call the signal met, it ran to its end or not at all.
    if "scratch" in fs.listdir("/")[1]:
        fs.remove("/scratch", True)
    os.write(2, (json.dumps([calls > 0, fs.tree("/") == expected]) + "\\n").encode())
"""


def test_sigint_during_long_calls_raises_keyboard_interrupt_between_them():
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(LONG_CALLS)], stderr=subprocess.PIPE
    )
    try:
        lines = LineReader(child.stderr)
        lines.wait_for("ready")
        child.send_signal(signal.SIGINT)
        rest = lines.rest()
        assert child.wait(timeout=TIMEOUT) == 0
    finally:
        child.kill()
        child.stderr.close()
    assert json.loads(rest[-1])[1] is True


# ---- small thread stacks ------------------------------------------------------------------

SMALL_STACK = """
    import json, os, threading
    import quorvex

    def deepest(fs):
        path = "/top"
        fs.mkdir(path)
        for depth in range(2, 65):
            fs.touch(path + "/f")
            path += "/d"
            fs.mkdir(path)
        return path

    results = []

    def work():
        fs = quorvex.PyFs()
        deepest(fs)
        lines = fs.tree("/").splitlines()
        results.append(len(lines))
        fs.remove("/top", True)
        results.append(fs.listdir("/"))
        deepest(fs)
        del fs  # the deepest tree goes with the last holder, on this thread

    threading.stack_size(64 * 1024)
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    os.write(2, (json.dumps(results) + "\\n").encode())
"""


def test_deep_trees_are_walked_and_dropped_on_a_64_kib_thread_stack():
    # 64 directories and 63 files, each on its own line.
    assert run_child(SMALL_STACK) == [127, [[], []]]


# ---- memory running out while a tree grows --------------------------------------------------

GROWING = """
    import json, os, resource
    import quorvex

    fs = quorvex.PyFs()
    for d in range(10):
        fs.mkdir(f"/d{d}")
    names = (f"/d{i % 10}/n{i:07d}" for i in range(10_000_000))
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), hard))
    made = 0
    try:
        for name in names:
            fs.touch(name) if made % 2 else fs.mkdir(name)
            made += 1
    except MemoryError:
        pass
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    listed = sum(len(files) + len(dirs) for files, dirs in
                 (fs.listdir(f"/d{d}") for d in range(10)))
    tree_lines = len(fs.tree("/").splitlines())
    fs.remove("/d3", True)
    os.write(2, (json.dumps([made < 10_000_000, listed == made, tree_lines == made + 10,
                             fs.listdir("/")[1] == [f"d{d}" for d in range(10) if d != 3]])
                 + "\\n").encode())
"""


@pytest.mark.skipif(PYPY or SANITIZED or not sys.platform.startswith("linux"),
                    reason="needs CPython's allocator under a Linux address-space limit")
def test_memory_running_out_mid_growth_leaves_a_consistent_tree():
    assert run_child(GROWING) == [True, True, True, True]


# ---- many calls of every method ---------------------------------------------------------------


# Each method once per round: in even rounds a call that succeeds, in odd rounds one that
# raises.
METHOD_CALLS = [
    ("q.PyFs()", "q.PyFs(1)"),
    ("fs.mkdir('/e')", "fs.mkdir(b'/d')"),
    ("fs.touch('/e/t')", "fs.touch('/d/f/g')"),
    ("fs.open('/d/f', 'r')", "fs.open('/d/f', 'x')"),
    ("fs.listdir('/')", "fs.listdir('/d/f')"),
    ("fs.remove('/e', True)", "fs.remove('/nope', False)"),
    ("fs.tree('/', ident='--')", "fs.tree('/nope')"),
    ("str(small)", "q.PyFs.__str__(5)"),
    ("q.PyTerm(small)", "q.PyTerm(fs='/')"),
    ("t.exec('ls d')", "t.exec('cat d')"),
    ("h.seek(0, W.SEEK_SET)", "h.seek(0, 0)"),
    ("h.read(2)", "h.read(-1)"),
    ("h.write(b'abc')", "h.write(bytearray(b'abc'))"),
    ("h.tell()", "closed.tell()"),
    ("h.id()", "closed.id()"),
    ("small.open('/c', 'r').close()", "closed.close()"),
    ("str(small_handle)", "q.PyFileHandle.__str__(5)"),
    ("W.SEEK_CUR == 1", "W.SEEK_CUR < 1"),
    ("repr(W.SEEK_END)", "int(W)"),
]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(PYPY, reason="counts references, which PyPy does not keep")
def test_a_hundred_thousand_calls_of_every_method_keep_counts_and_memory_flat(capfd):
    from test_hygiene import world

    names = world()
    small = quorvex.PyFs()
    names.update(small=small, small_handle=small.open("/h", "rw"))
    lines = []
    for good, bad in METHOD_CALLS:
        lines.append(f"    if turn % 2 == 0:\n        {good}\n    else:")
        lines.append(f"        try:\n            {bad}\n        except Exception:\n            pass")
    loop = compile("for turn in range(rounds):\n" + "\n".join(lines), "<calls>", "exec")
    watched = [*names.values(), None, True, False, quorvex.Whence.SEEK_SET]
    # 100,000 calls of each method: half of them succeed, half raise.
    rounds = 10_000 if SANITIZED else 100_000
    exec(loop, dict(names, rounds=2000))  # what is made on first use
    # A free-threaded build hands some freed memory back only when the collector runs.
    gc.collect()
    counts, resident = [sys.getrefcount(obj) for obj in watched], resident_bytes()
    exec(loop, dict(names, rounds=rounds))
    # Measured before the captured read lines (2 MB of them) are read back: an allocator
    # that keeps freed memory mapped (mimalloc, on the free-threaded build) would count them.
    grown_bytes = resident_bytes() - resident
    capfd.readouterr()
    gc.collect()
    grown = [sys.getrefcount(obj) - before for obj, before in zip(watched, counts)]
    assert max(map(abs, grown)) < 10, grown
    if not SANITIZED:
        # A leak of a single small object per call would be well over 2 MB.
        assert grown_bytes < (2 << 20)


# ---- arguments that lie about themselves ------------------------------------------------------


class LongBytes(bytes):
    def __len__(self):
        return 100


class ShortBytes(bytes):
    def __len__(self):
        return 1


class OddBytes(bytes):
    def __getitem__(self, index):
        return b"zzz"

    def __iter__(self):
        return iter(b"zzz")

    def __bytes__(self):
        return b"zzz"


@pytest.mark.parametrize("cls", [LongBytes, ShortBytes, OddBytes])
def test_write_takes_exactly_the_objects_own_bytes(fs, cls, capfd):
    handle = fs.open("/f", "rw")
    try:
        written = handle.write(cls(b"a\0c"))
    except ValueError:
        # PyPy refuses a bytes whose __len__ is short before the module sees it.
        assert PYPY and cls is ShortBytes
        written = None
    else:
        assert written == 3
    assert handle.read(1000) == (b"a\0c" if written else b"")


def test_types_that_merely_call_themselves_numpy_booleans_are_refused(fs):
    fakes = [type(name, (), {"__module__": "numpy", "__bool__": lambda self: True})
             for name in ("numpy.bool_", "numpy.bool", "bool_", "bool")]
    for fake in fakes:
        with pytest.raises(TypeError, match="argument 'recurse'"):
            fs.remove("/", fake())


def test_tree_of_a_path_with_many_separators_is_the_plain_paths(fs):
    fs.mkdir("/d")
    for n in range(300):
        fs.mkdir(f"/d/s{n}")
        fs.touch(f"/d/s{n}/f")
    plain = fs.tree("/d")
    assert fs.tree("/" * 20_000 + "d" + "/" * 1000) == plain
    assert fs.tree("\\.\\d/./", "> ") == "".join(f"> {line}\n" for line in plain.splitlines())
