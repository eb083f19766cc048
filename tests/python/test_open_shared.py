"""PyFs.open_shared (handles outside the file lock) and PyFileHandle.write_from."""

import array
import os

import pytest

from quorvex import Whence

R, W, RW = os.O_RDONLY, os.O_WRONLY, os.O_RDWR
CREAT, EXCL, TRUNC, APPEND = os.O_CREAT, os.O_EXCL, os.O_TRUNC, os.O_APPEND


def contents(fs, path):
    h = fs.open_existing(path, "r")
    try:
        h.seek(0, Whence.SEEK_END)
        size = h.tell()
        h.seek(0, Whence.SEEK_SET)
        data = bytearray(size)
        h.readinto(data)
        return bytes(data)
    finally:
        h.close()


def make(fs, path, data):
    h = fs.open(path, "w")
    h.write(data)
    h.close()


# flags, what a missing file gives (None: created), what an existing b"abc" gives and keeps
@pytest.mark.parametrize("flags, missing, existing, left", [
    (R, "Inode not found", None, b"abc"),
    (W, "Inode not found", None, b"abc"),
    (RW | CREAT, None, None, b"abc"),
    (W | CREAT | TRUNC, None, None, b""),
    (W | CREAT | EXCL, None, "Resource already exists", b"abc"),
    (RW | TRUNC, "Inode not found", None, b""),
    (W | CREAT | APPEND, None, None, b"abc"),
])
def test_mode_table(fs, raises_exactly, flags, missing, existing, left):
    for present in (False, True):
        if present:
            make(fs, "/f", b"abc")
        message = existing if present else missing
        if message:
            with raises_exactly(ValueError, message):
                fs.open_shared("/f", flags)
        else:
            fs.open_shared("/f", flags).close()
        if present:
            assert contents(fs, "/f") == left
        else:
            assert fs.listdir("/") == (([] if missing else ["f"]), [])
            if not missing:
                fs.remove("/f", False)


@pytest.mark.parametrize("flags", [3 | CREAT, R | CREAT | TRUNC, R | CREAT | APPEND, W | EXCL,
                                   RW | CREAT | os.O_NONBLOCK])
def test_senseless_flags_create_nothing(fs, raises_exactly, flags):
    with raises_exactly(ValueError, "Unrecognized file mode"):
        fs.open_shared("/new", flags)
    assert fs.listdir("/") == ([], [])


def test_removed_file_stays_usable_until_its_last_close(fs, capfd):
    make(fs, "/f", b"abc")
    reader = fs.open_shared("/f", R)
    writer = fs.open_shared("/f", RW)
    fs.remove("/f", False)  # not refused: neither handle holds the file lock
    make(fs, "/f", b"new")
    assert writer.write_from(b"XY") == 2 and writer.tell() == 2
    assert reader.read(10) == b"XYc"
    assert capfd.readouterr().out == "Read 3 bytes from file\n"
    assert reader.id() == writer.id() != fs.open_shared("/f", R).id()
    assert contents(fs, "/f") == b"new"
    reader.close()
    writer.close()


def test_appends_through_two_handles_never_overwrite(fs):
    first = fs.open_shared("/log", W | CREAT | APPEND)
    second = fs.open_shared("/log", RW | APPEND)
    first.write_from(b"aa")
    second.write_from(bytearray(b"bbb"))
    assert first.write(b"c") == 1 and first.tell() == 2  # write keeps the offset
    assert second.tell() == 5
    assert contents(fs, "/log") == b"aabbbc"
    first.close()
    second.close()


# open's fail-fast lock among its own handles, with a shared handle of each kind beside.
@pytest.mark.parametrize("shared_flags", [R, W, RW | APPEND])
@pytest.mark.parametrize("held, refused", [("r", "w"), ("w", "r"), ("w", "w"), ("", "w")])
def test_open_lock_unchanged_beside_shared_handles(fs, raises_exactly, shared_flags, held,
                                                   refused):
    make(fs, "/f", b"abc")
    shared = fs.open_shared("/f", shared_flags)
    h = fs.open("/f", held)
    with raises_exactly(ValueError, "Resource is currently in use"):
        fs.open("/f", refused)
    with raises_exactly(ValueError, "Resource is currently in use"):
        fs.remove("/f", False)
    fs.open_shared("/f", shared_flags).close()
    h.close()
    fs.open("/f", refused).close()
    shared.close()


@pytest.mark.parametrize("buffer", [
    b"xyz", bytearray(b"xyz"), memoryview(b"-xyz-")[1:4], array.array("B", b"xyz"),
    pytest.param("numpy", id="numpy"),
])
@pytest.mark.parametrize("shared", [False, True])
def test_write_from_takes_any_contiguous_buffer(fs, buffer, shared):
    if buffer == "numpy":
        numpy = pytest.importorskip("numpy")
        buffer = numpy.frombuffer(b"xyz", dtype=numpy.uint8)
    make(fs, "/f", b"0123")
    h = fs.open_shared("/f", RW) if shared else fs.open("/f", "rw")
    h.seek(1, Whence.SEEK_SET)
    assert h.write_from(buffer) == 3
    assert h.tell() == 4
    assert h.write_from(b"") == 0
    h.close()
    assert contents(fs, "/f") == b"0xyz"


@pytest.mark.parametrize("how, call, error, message", [
    ("r", lambda h: h.write_from(b"x"), ValueError,
     "File does not support the specified operation: write"),
    (R, lambda h: h.write_from(b"x"), ValueError,
     "File does not support the specified operation: write"),
    (W, lambda h: h.read(1), ValueError, "File does not support the specified operation: read"),
    ("w", lambda h: h.write_from(memoryview(b"abcd")[::2]), TypeError,
     "argument 'buffer': 'memoryview' object cannot be converted to 'PyBuffer'"),
    ("w", lambda h: h.write_from("text"), TypeError,
     "argument 'buffer': 'str' object cannot be converted to 'PyBuffer'"),
])
def test_refused_calls_change_nothing(fs, raises_exactly, how, call, error, message):
    make(fs, "/f", b"abc")
    h = fs.open("/f", how) if isinstance(how, str) else fs.open_shared("/f", how)
    with raises_exactly(error, message):
        call(h)
    assert h.tell() == 0
    h.close()
    if error is ValueError:  # a refused argument is refused before anything else
        message = "Invalid file descriptor"
    with raises_exactly(error, message):
        call(h)
    assert contents(fs, "/f") == b"abc"
