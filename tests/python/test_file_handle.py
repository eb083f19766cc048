import gc
import os
import platform
import subprocess
import sys

import pytest

import quorvex
from quorvex import Whence


def lines(capfd):
    return capfd.readouterr().out.splitlines()


def test_write_does_not_move_the_offset_and_seek_from_end(fs):
    h = fs.open("/a.txt", "w")
    assert h.write(b"hello") == 5
    assert h.tell() == 0
    assert h.seek(0, Whence.SEEK_END) is None
    assert h.tell() == 5
    assert h.write(b"") == 0
    assert h.close() is None


def test_read_returns_bytes_and_prints_its_line(fs, capfd):
    w = fs.open("/a.txt", "w")
    w.write(b"hello")
    w.close()
    r = fs.open("/a.txt", "r")
    assert r.read(100) == b"hello"
    assert r.read(100) == b""
    r.seek(1, Whence.SEEK_SET)
    assert r.read(0) == b""
    assert r.read(2) == b"el"
    assert lines(capfd) == ["Read 5 bytes from file", "Read 0 bytes from file",
                            "Read 0 bytes from file", "Read 2 bytes from file"]


def test_read_of_a_huge_size_allocates_only_what_is_there(fs, capfd):
    h = fs.open("/f", "rw")
    h.write(b"xyz")
    assert h.read(2**64 - 1) == b"xyz"
    assert lines(capfd) == ["Read 3 bytes from file"]


def test_read_line_bypasses_sys_stdout_and_a_closed_fd_1_is_ignored():
    script = (
        "import os, sys, quorvex\n"
        "fs = quorvex.PyFs(); h = fs.open('/f', 'rw'); h.write(b'ab')\n"
        "sys.stdout = None\n"
        "assert h.read(9) == b'ab'\n"
        "os.close(1)\n"
        "assert h.read(9) == b''\n"
        "sys.stderr.write('done')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(quorvex.__file__))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout == b"Read 2 bytes from file\n" and done.stderr == b"done"


@pytest.mark.parametrize(
    "origin, distance, start, expected",
    [
        (Whence.SEEK_END, 3, 0, 2),
        (Whence.SEEK_END, 20, 4, 0),
        (Whence.SEEK_SET, 100, 0, 5),
        (Whence.SEEK_CUR, 2, 4, 5),
        (Whence.SEEK_CUR, 1, 2, 3),
        (Whence.SEEK_CUR, 2**64 - 1, 4, 5),
    ],
)
def test_seek_origins_and_clamping(fs, origin, distance, start, expected):
    h = fs.open("/f", "rw")
    h.write(b"01234")
    h.seek(start, Whence.SEEK_SET)
    h.seek(distance, origin)
    assert h.tell() == expected


def test_consecutive_writes_with_seek_between(fs):
    h = fs.open("/f", "rw")
    h.write(b"ab")
    h.write(b"cd")
    h.seek(2, Whence.SEEK_CUR)
    h.write(b"ef")
    h.seek(0, Whence.SEEK_SET)
    assert h.read(10) == b"cdef"


@pytest.mark.parametrize("mode", ["x", "rr", "R", "r+", " "])
def test_bad_mode_creates_nothing(fs, mode, raises_exactly):
    with raises_exactly(ValueError, "Unrecognized file mode"):
        fs.open("/a.txt", mode)
    assert fs.listdir("/") == ([], [])


@pytest.mark.parametrize(
    "path, message",
    [("/d", "The specified INode is not a file"), ("/d/", "The specified INode is not a file"),
     ("/nope/f", "Inode not found"), ("/f/inner", "The specified INode is not a directory")],
)
def test_open_failures(fs, path, message, raises_exactly):
    fs.mkdir("d")
    fs.touch("f")
    with raises_exactly(ValueError, message):
        fs.open(path, "r")


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="a dropped handle gives its lock back only when PyPy's collector runs")
def test_lock_sharing_between_handles(fs, raises_exactly):
    a, b = fs.open("/f", "r"), fs.open("/f", "r")
    assert a.id() == b.id() == 1
    with raises_exactly(ValueError, "Resource is currently in use"):
        fs.open("/f", "w")
    a.close()
    with raises_exactly(ValueError, "Resource is currently in use"):
        fs.open("/f", "rw")
    b.close()
    w = fs.open("/f", "wr")
    for mode in ["", "r", "w"]:
        with raises_exactly(ValueError, "Resource is currently in use"):
            fs.open("/f", mode)
    del w
    fs.open("/f", "w").close()


@pytest.mark.parametrize(
    "call",
    [lambda h: h.id(), lambda h: h.tell(), lambda h: h.read(1), lambda h: h.write(b"x"),
     lambda h: h.seek(0, Whence.SEEK_SET), lambda h: h.close()],
)
def test_closed_handle(fs, call, raises_exactly, capfd):
    h = fs.open("/f", "w")
    h.close()
    with raises_exactly(ValueError, "Invalid file descriptor"):
        call(h)
    assert str(h).startswith("FileHandle { id: None, type: FileHandleType(WRITE), fs: FileSystem {")
    assert capfd.readouterr().out == ""


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="an unclosed handle gives its lock back only when PyPy's collector runs")
def test_empty_mode_can_seek_but_neither_read_nor_write(fs, raises_exactly, capfd):
    fs.open("/f", "w").write(b"abc")
    h = fs.open("/f", "")
    h.seek(0, Whence.SEEK_END)
    assert h.tell() == 3
    with raises_exactly(ValueError, "File does not support the specified operation: read"):
        h.read(1)
    with raises_exactly(ValueError, "File does not support the specified operation: write"):
        h.write(b"x")
    assert capfd.readouterr().out == ""


def test_handle_str(fs):
    h = fs.open("/f", "rw")
    h.seek(0, Whence.SEEK_SET)
    assert str(h) == (
        f"FileHandle {{ id: Some(1), type: FileHandleType(READ | WRITE), fs: {fs}, offset: 0 }}"
    )
    empty = fs.open("/g", "")
    assert str(empty).startswith("FileHandle { id: Some(2), type: FileHandleType(0x0), ")
    assert repr(h).startswith("<builtins.PyFileHandle object at 0x")


def test_handle_keeps_the_file_system_alive(raises_exactly):
    h = quorvex.PyFs().open("/f", "rw")
    gc.collect()
    h.write(b"kept")
    assert h.read(4) == b"kept"
    h.close()
    assert '"f"' in str(h)


@pytest.mark.skipif(platform.python_implementation() == "PyPy",
                    reason="an unclosed handle gives its lock back only when PyPy's collector runs")
def test_destroying_an_open_writer_gives_its_lock_back(fs):
    fs.open("/f", "w").write(b"x")  # the handle is dropped unclosed at once
    h = fs.open("/f", "w")
    del h
    fs.remove("/f", False)
    assert fs.listdir("/") == ([], [])


class TestWhence:
    def test_members(self):
        assert [int(m) for m in (Whence.SEEK_SET, Whence.SEEK_CUR, Whence.SEEK_END)] == [0, 1, 2]
        assert Whence.SEEK_CUR is Whence.SEEK_CUR
        assert repr(Whence.SEEK_CUR) == str(Whence.SEEK_CUR) == "Whence.SEEK_CUR"
        assert repr(Whence.SEEK_SET) == "Whence.SEEK_SET"
        assert repr(Whence.SEEK_END) == "Whence.SEEK_END"

    @pytest.mark.parametrize(
        "member, other, equal",
        [
            (Whence.SEEK_CUR, 1, True),
            (Whence.SEEK_SET, 2, False),
            (Whence.SEEK_SET, False, True),
            (Whence.SEEK_CUR, True, True),
            (Whence.SEEK_END, Whence.SEEK_END, True),
            (Whence.SEEK_END, Whence.SEEK_SET, False),
            (Whence.SEEK_SET, "SEEK_SET", False),
            (Whence.SEEK_SET, 0.0, False),
            (Whence.SEEK_SET, 2**70, False),
            (Whence.SEEK_SET, None, False),
        ],
    )
    def test_equality(self, member, other, equal):
        assert (member == other) is equal
        assert (member != other) is (not equal)
        assert (other == member) is equal

    def test_index_conversion_of_the_other_operand(self):
        class Two:
            def __index__(self):
                return 2

        class Broken:
            def __index__(self):
                raise ValueError("no")

        assert Whence.SEEK_END == Two()
        assert Whence.SEEK_END != Broken()

    @pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
    def test_ordering_is_not_supported(self, op):
        with pytest.raises(TypeError, match="not supported between instances"):
            eval(f"a {op} b", {"a": Whence.SEEK_SET, "b": Whence.SEEK_CUR})

    def test_no_index_conversion(self):
        with pytest.raises(TypeError):
            [0, 1][Whence.SEEK_CUR]


# ---- readinto, truncate, the context manager and open_existing ---------------------------


@pytest.mark.parametrize("make", [bytearray, lambda n: memoryview(bytearray(n)),
                                  lambda n: __import__("array").array("b", bytes(n))])
def test_readinto_fills_a_writable_buffer_advances_and_prints_nothing(fs, capfd, make):
    h = fs.open("/f", "rw")
    h.write(b"0123456789")
    buffer = make(4)
    assert [h.readinto(buffer) for _ in range(4)] == [4, 4, 2, 0]
    assert bytes(buffer) == b"8967" and h.tell() == 10
    assert h.readinto(make(0)) == 0
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("buffer", [b"abcd", "abcd", 4, memoryview(b"abcd"),
                                    memoryview(bytearray(8))[::2]])
def test_readinto_refuses_what_it_cannot_write_and_reads_nothing(fs, buffer, raises_exactly):
    h = fs.open("/f", "rw")
    h.write(b"xyz")
    name = type(buffer).__qualname__
    with raises_exactly(TypeError, "argument 'buffer': '%s' object cannot be converted to "
                                   "'PyWritableBuffer'" % name):
        h.readinto(buffer)
    assert h.tell() == 0


@pytest.mark.parametrize("mode, closed, message", [
    ("w", False, "File does not support the specified operation: read"),
    ("", False, "File does not support the specified operation: read"),
    ("r", True, "Invalid file descriptor"),
])
def test_readinto_fails_as_read_does(fs, mode, closed, message, raises_exactly, capfd):
    h = fs.open("/f", mode)
    if closed:
        h.close()
    buffer = bytearray(b"keep")
    with raises_exactly(ValueError, message):
        h.readinto(buffer)
    assert buffer == b"keep" and capfd.readouterr().out == ""


def test_truncate_shrinks_extends_with_zeros_and_keeps_the_offset_inside(fs, capfd):
    h = fs.open("/f", "rw")
    h.write(b"0123456789")
    h.seek(8, Whence.SEEK_SET)
    assert h.truncate(4) == 4
    assert h.tell() == 4  # brought back to the new end
    assert h.truncate(6) == 6 and h.tell() == 4
    h.seek(0, Whence.SEEK_SET)
    assert h.read(100) == b"0123\0\0"
    assert h.truncate(0) == 0 and h.tell() == 0
    capfd.readouterr()


@pytest.mark.parametrize("mode, closed, size, error, message", [
    ("r", False, 0, ValueError, "File does not support the specified operation: truncate"),
    ("", False, 0, ValueError, "File does not support the specified operation: truncate"),
    ("w", True, 0, ValueError, "Invalid file descriptor"),
    ("w", False, -1, OverflowError, None),
    ("w", False, "1", TypeError, None),
])
def test_truncate_failures_change_nothing(fs, mode, closed, size, error, message,
                                          raises_exactly, capfd):
    w = fs.open("/f", "w")
    w.write(b"abc")
    w.close()
    h = fs.open("/f", mode)
    if closed:
        h.close()
    with (raises_exactly(error, message) if message else pytest.raises(error)):
        h.truncate(size)
    if not closed:
        h.close()
    r = fs.open("/f", "r")
    assert r.read(9) == b"abc"
    capfd.readouterr()


def test_handle_is_no_context_manager(fs):
    h = fs.open("/f", "w")
    assert not hasattr(h, "__enter__") and not hasattr(h, "__exit__")
    with pytest.raises((TypeError, AttributeError)):
        with h:
            pass
    h.close()


def test_open_existing_never_creates(fs, raises_exactly, capfd):
    before = str(fs)
    for mode in ["", "r", "w", "rw"]:
        with raises_exactly(ValueError, "Inode not found"):
            fs.open_existing("/missing", mode)
    with raises_exactly(ValueError, "Unrecognized file mode"):
        fs.open_existing("/missing", "x")
    assert str(fs) == before
    fs.mkdir("/d")
    with raises_exactly(ValueError, "The specified INode is not a file"):
        fs.open_existing("/d", "r")
    h = fs.open("/d/f", "w")
    h.write(b"hi")
    h.close()
    h = fs.open_existing("\\d\\f", "r")
    try:
        assert h.read(9) == b"hi"
    finally:
        h.close()
    capfd.readouterr()
