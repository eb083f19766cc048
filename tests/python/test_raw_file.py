"""PyFs.open_file: the compiled raw file under quorvex_fs.open."""
import errno
import gc
import os
import tempfile
import threading
from pathlib import Path

import pytest

import quorvex
import quorvex_fs as q

LINES = b"one\ntwo\n\nthree"


def outcomes(f, calls):
    results = []
    for name, *args in calls:
        try:
            results.append(list(f) if name == "iter" else getattr(f, name)(*args))
        except Exception as error:  # noqa: BLE001 - compared by type and errno
            results.append((type(error), getattr(error, "errno", None)))
    return results


@pytest.mark.parametrize("calls", [
    [("readline",), ("readline", 2), ("readline", None), ("readline",), ("readline",),
     ("readline",), ("tell",)],
    [("readlines", 5), ("readlines",), ("seek", 0), ("iter",), ("seek", 20), ("readline",),
     ("readlines", 1.5)],
    [("seek", 3), ("writelines", [b"X", bytearray(b"YZ"), memoryview(b"!")]), ("seek", 0),
     ("readlines", 0), ("writelines", [1])],
])
def test_lines_as_io_fileio_reads_and_writes_them(fs, calls):
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as d:
        host = Path(d) / "f"
        host.write_bytes(LINES)
        with open(host, "r+b", buffering=0) as f:
            expected = outcomes(f, calls)
        written = host.read_bytes()
    q.write_bytes(fs, "/f", LINES)
    with q.open(fs, "/f", "r+b", buffering=0) as f:
        assert outcomes(f, calls) == expected
    assert q.read_bytes(fs, "/f") == written


@pytest.mark.parametrize("flags, mode, readable, writable", [
    (os.O_RDONLY, "rb", True, False),
    (os.O_RDWR, "rb+", True, True),
    (os.O_WRONLY | os.O_CREAT | os.O_TRUNC, "wb", False, True),
    (os.O_WRONLY | os.O_CREAT | os.O_EXCL, "xb", False, True),
    (os.O_RDWR | os.O_CREAT | os.O_EXCL, "xb+", True, True),
    (os.O_WRONLY | os.O_CREAT | os.O_APPEND, "ab", False, True),
    (os.O_RDWR | os.O_CREAT | os.O_APPEND, "ab+", True, True),
])
def test_open_file_shows_what_io_fileio_shows(fs, flags, mode, readable, writable):
    if not flags & os.O_EXCL:
        q.write_bytes(fs, "/f", b"abc")
    name = "".join(["/", "f"])  # a str of its own, kept as given
    raw = fs.open_file(name, flags)
    assert raw.name is name and raw.mode == mode and isinstance(raw.handle, quorvex.PyFileHandle)
    assert (raw.readable(), raw.writable(), raw.seekable()) == (readable, writable, True)
    assert raw.tell() == (3 if "a" in mode else 0)
    assert repr(raw) == "<quorvex_fs.FileIO name='/f' mode=%r>" % mode
    handle = raw.handle
    raw.close()
    assert raw.closed and repr(raw).endswith(" [closed]>")
    with pytest.raises(ValueError, match="Invalid file descriptor"):
        handle.tell()  # closing the file closed its handle


def test_a_dropped_file_closes_its_handle_and_failures_chain_the_core_error(fs):
    raw = fs.open_file("/f", os.O_WRONLY | os.O_CREAT)
    handle = raw.handle
    del raw
    gc.collect()
    with pytest.raises(ValueError, match="Invalid file descriptor"):
        handle.tell()

    fs.set_limits(max_bytes=4)
    with q.open(fs, "/f", "wb", buffering=0) as raw:
        with pytest.raises(OSError) as raised:
            raw.write(b"too long")
    assert (raised.value.errno, raised.value.filename) == (errno.ENOSPC, "/f")
    assert q.errors.kind_of(raised.value.__cause__) == "NoSpaceLeft"
    with pytest.raises(TypeError, match="argument 'path'"):
        fs.open_file(b"/f", os.O_RDONLY)
    assert q.FileIO is type(fs.open_file("/f", os.O_RDONLY))


def test_the_python_file_io_stands_in_with_the_same_results(fs, monkeypatch):
    from quorvex_fs import _file

    calls = [("write", b"ab\ncd"), ("seek", 9), ("write", memoryview(b"!")), ("seek", 0),
             ("readline",), ("read", 2), ("readall",), ("truncate", 3), ("tell",),
             ("seek", -1, 3), ("write", 5)]
    seen = []
    for compiled in (True, False):
        monkeypatch.setattr(_file, "_COMPILED", compiled)
        with q.open(fs, "/f", "w+b", buffering=0) as raw:
            seen.append((type(raw) is _file._PythonFileIO, outcomes(raw, calls), raw.mode))
        seen[-1] += (q.read_bytes(fs, "/f"),)
    assert seen[0][1:] == seen[1][1:] and (seen[0][0], seen[1][0]) == (False, True)


@pytest.mark.parametrize("call, error, code", [
    (lambda f: f.seek(0, 3), OSError, errno.EINVAL),  # no SEEK_DATA/SEEK_HOLE here
    (lambda f: f.seek(2**63), OverflowError, None),
    (lambda f: (f.seek(2**63 - 1), f.seek(1, 1)), OSError, errno.EINVAL),
    (lambda f: f.readinto(b"read-only"), TypeError, None),
    (lambda f: f.read(1, 2), TypeError, None),
])
def test_refused_arguments_leave_the_position(fs, call, error, code):
    with q.open(fs, "/f", "w+b", buffering=0) as f:
        f.write(b"abc")
        f.seek(1)
        with pytest.raises(error) as raised:
            call(f)
        assert getattr(raised.value, "errno", None) == code
        f.seek(1)
        assert f.read() == b"bc"


def test_a_close_racing_other_calls_only_ever_reads_as_closed(fs):
    raw = q.open(fs, "/f", "w+b", buffering=0)
    failures = []

    def work(closer):
        for step in range(200):
            try:
                raw.write(b"xy")
                raw.seek(step)
                raw.read(3)
                raw.truncate(step)
                raw.readline()
                if closer and step == 100:
                    raw.close()
            except ValueError as error:
                if str(error) != "I/O operation on closed file.":
                    failures.append(error)
    threads = [threading.Thread(target=work, args=(i == 0,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert raw.closed and failures == []


@pytest.mark.parametrize("compiled", [True, False])
def test_a_write_past_the_end_cuts_nothing_another_file_wrote_meanwhile(fs, monkeypatch,
                                                                        compiled):
    from quorvex_fs import _file

    monkeypatch.setattr(_file, "_COMPILED", compiled)
    with q.open(fs, "/f", "w+b", buffering=0) as f, q.open(fs, "/f", "r+b", buffering=0) as g:
        f.seek(4)
        g.write(b"0123456789")  # grows the file past f's position
        f.write(b"X")
    assert q.read_bytes(fs, "/f") == b"0123X56789"
