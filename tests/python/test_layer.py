"""quorvex_fs: Python's file objects, os-style helpers, typed errors and tree transfers."""
import contextlib
import errno
import glob
import io
import os
import pathlib
import sys
import tarfile
import tempfile
import threading
from pathlib import Path

import pytest

import quorvex

try:
    import quorvex_fs as q
except ImportError:  # a build tree without python/ on the path
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import quorvex_fs as q
from quorvex_fs import _common, _transfer


@pytest.fixture(autouse=True)
def nothing_printed(capfd):
    yield
    assert capfd.readouterr().out == ""


def put(fs, path, data=b""):
    q.write_bytes(fs, path, data)


def snapshot(fs):
    """The tree and every file's bytes (not the id counter, which never goes back)."""
    return fs.tree("/"), contents(fs, "/")


def held(fs, path, mode="r"):
    """A raw handle on `path`, the way another user of the file system would hold it."""
    return fs.open(path, mode)


@contextlib.contextmanager
def holding(fs, path, mode="r"):
    """`path` held by a raw handle for the block, closed after it."""
    handle = held(fs, path, mode)
    try:
        yield handle
    finally:
        handle.close()


# ---- open -------------------------------------------------------------------------------

# mode, whether /f exists (holding b"abcdef"), what is written, the file's bytes after
MODES = [
    ("w", True, "XY", b"XY"), ("w", False, "XY", b"XY"), ("wb", True, b"XY", b"XY"),
    ("x", False, "XY", b"XY"), ("xb+", False, b"XY", b"XY"),
    ("a", True, "XY", b"abcdefXY"), ("ab", False, b"XY", b"XY"), ("a+", True, "XY", b"abcdefXY"),
    ("r+", True, "XY", b"XYcdef"), ("rb+", True, b"XY", b"XYcdef"), ("w+b", True, b"XY", b"XY"),
]


@pytest.mark.parametrize("mode, exists, data, after", MODES)
def test_modes_create_truncate_and_append_as_python_does(fs, mode, exists, data, after):
    if exists:
        put(fs, "/f", b"abcdef")
    with q.open(fs, "/f", mode) as f:
        assert f.write(data) == 2
        assert f.tell() == len(after) if "a" in mode else f.tell() == 2
    assert q.read_bytes(fs, "/f") == after


@pytest.mark.parametrize("mode, exists, error", [
    ("r", False, FileNotFoundError), ("rb", False, FileNotFoundError),
    ("r+", False, FileNotFoundError), ("x", True, FileExistsError),
    ("xb", True, FileExistsError),
])
def test_failed_opens_change_nothing(fs, mode, exists, error):
    if exists:
        put(fs, "/f", b"keep")
    before = snapshot(fs)
    with pytest.raises(error) as raised:
        q.open(fs, "/f", mode)
    assert isinstance(raised.value.__cause__, ValueError)
    assert raised.value.filename == "/f"
    assert snapshot(fs) == before


@pytest.mark.parametrize("mode, kwargs, error", [
    ("rw", {}, ValueError), ("rr", {}, ValueError), ("", {}, ValueError), ("bt", {}, ValueError),
    ("wq", {}, ValueError), (1, {}, TypeError), ("wb", {"encoding": "utf-8"}, ValueError),
    ("wb", {"newline": ""}, ValueError), ("w", {"buffering": 0}, ValueError),
    ("w", {"newline": "x"}, ValueError), ("w", {"encoding": "no-such-codec"}, LookupError),
    ("w", {"buffering": "8"}, TypeError),
])
def test_bad_arguments_are_refused_before_the_file_is_touched(fs, mode, kwargs, error):
    put(fs, "/f", b"keep")
    before = snapshot(fs)
    with pytest.raises(error):
        q.open(fs, "/f", mode, **kwargs)
    assert snapshot(fs) == before


@pytest.mark.parametrize("mode, buffering, kind", [
    ("rb", -1, io.BufferedReader), ("wb", -1, io.BufferedWriter), ("ab", 4096, io.BufferedWriter),
    ("r+b", -1, io.BufferedRandom), ("rb", 0, q.FileIO), ("w", -1, io.TextIOWrapper),
    ("r", 1, io.TextIOWrapper),
])
def test_results_are_the_standard_io_objects(fs, mode, buffering, kind):
    put(fs, "/f")
    with q.open(fs, "/f", mode, buffering) as f:
        assert type(f) is kind
        raw = f if kind is q.FileIO else (f.buffer.raw if kind is io.TextIOWrapper else f.raw)
        assert isinstance(raw, io.RawIOBase) and raw.name == "/f"
        assert f.mode == {"r+b": "rb+"}.get(mode, mode)  # binary files show io.FileIO's


def test_positions_seek_past_the_end_and_truncate(fs):
    with q.open(fs, "/f", "w+b") as f:
        f.write(b"hello")
        assert f.seek(0) == 0 and f.read() == b"hello"
        assert f.seek(8) == 8 and f.tell() == 8
        assert f.read() == b""
        f.write(b"!")  # the gap is filled with zero bytes
        assert f.seek(-3, os.SEEK_END) == 6 and f.read() == b"\0\0!"
        assert f.truncate(2) == 2 and f.tell() == 9  # the position stays
        f.write(b"?")
        with pytest.raises(OSError) as raised:
            f.seek(-20, os.SEEK_END)
        assert raised.value.errno == errno.EINVAL
    assert q.read_bytes(fs, "/f") == b"he" + bytes(7) + b"?"


@pytest.mark.parametrize("call", ["readable", "writable", "seekable", "tell", "readall"])
def test_a_closed_raw_file_refuses_what_io_fileio_refuses(fs, call):
    raw = q.open(fs, "/f", "wb+", buffering=0)
    raw.close()
    with pytest.raises(ValueError, match="closed file"):
        getattr(raw, call)()


def test_tell_follows_seeks_past_the_end_and_back(fs):
    with q.open(fs, "/f", "wb+", buffering=0) as raw:
        raw.write(b"abc")
        assert (raw.seek(7), raw.tell()) == (7, 7)
        assert (raw.seek(1), raw.tell(), raw.read(1)) == (1, 1, b"b")
        assert (raw.truncate(1), raw.tell()) == (1, 2)  # the position stays past the end


def test_unbuffered_raw_file(fs):
    with q.open(fs, "/f", "wb+", buffering=0) as raw:
        assert raw.write(memoryview(b"abcdef")[1:4]) == 3
        raw.seek(0)
        buffer = bytearray(5)
        assert raw.readinto(buffer) == 3 and buffer == b"bcd\0\0"
        assert raw.readall() == b"" and raw.seek(1) == 1 and raw.readall() == b"cd"
        assert (raw.readable(), raw.writable(), raw.seekable(), raw.isatty()) == \
            (True, True, True, False)
        with pytest.raises(io.UnsupportedOperation):
            raw.fileno()


# mode, buffering, calls: each one's result (or exception type and errno) and the file's
# bytes after must be what the builtin open gives on tmpfs. Every file but "x"'s starts
# as b"abcdef".
SAME_AS_LINUX = [
    ("w+b", 0, [("write", b"0123456789"), ("truncate", 2), ("truncate", 20), ("write", b"X"),
                ("tell",), ("mode",)]),
    ("w+b", -1, [("seek", 100), ("truncate", 50), ("read",), ("tell",)]),
    ("ab", 0, [("seek", 100), ("write", b"x"), ("tell",), ("mode",)]),
    ("a+", -1, [("write", "a" * 9000), ("truncate", 0), ("write", "b"), ("truncate",)]),
    ("w+b", 0, [("seek", 10), ("write", b""), ("tell",), ("write", 5), ("write", [65, 66]),
                ("read", None), ("seek", 1.5), ("seek", 0, 1.5), ("seek", 0, 7)]),
    ("ab+", 0, [("seek", 1), ("write", b""), ("tell",), ("write", b"xy"), ("tell",),
                ("seek", 0), ("read", None), ("mode",)]),
    ("rb", 0, [("seek", 100), ("read",), ("readinto", bytearray(3)), ("readall",),
               ("seek", -2, 2), ("read", None), ("seek", -1), ("seek", -100, 2), ("tell",),
               ("truncate", 1), ("write", b"")]),
    # io.FileIO took a float size before Python 3.10; from 3.10 on it is a TypeError.
    ("r+b", 0, [("truncate", -1), *([("truncate", 1.5)] if sys.version_info >= (3, 10) else []),
                ("seek", 3), ("truncate",), ("read",),
                # PyPy's io.FileIO writes a buffer that is not contiguous; CPython's refuses it.
                *([] if sys.implementation.name == "pypy" else [("write", memoryview(b"abcd")[::2])]),
                ("write", bytearray(b"q")), ("mode",)]),
    ("x+b", 0, [("mode",), ("write", b"z"), ("seek", 0, 2)]),
]


@pytest.fixture
def host_dir(tmp_path):
    """A directory on tmpfs where there is one, else pytest's own."""
    shm = Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        yield tmp_path
        return
    with tempfile.TemporaryDirectory(dir=shm) as name:
        yield Path(name)


def run_calls(f, calls):
    results = []
    for name, *args in calls:
        try:
            results.append(f.mode if name == "mode" else getattr(f, name)(*args))
        except Exception as error:  # noqa: BLE001 - compared by type and errno
            results.append((type(error), getattr(error, "errno", None)))
    return results


@pytest.mark.parametrize("mode, buffering, calls", SAME_AS_LINUX)
def test_files_behave_as_on_linux(fs, host_dir, mode, buffering, calls):
    host = host_dir / "f"
    if "x" not in mode:
        host.write_bytes(b"abcdef")
        put(fs, "/f", b"abcdef")
    with open(host, mode, buffering) as f:
        expected = run_calls(f, calls)
    with q.open(fs, "/f", mode, buffering) as f:
        assert run_calls(f, calls) == expected
    assert q.read_bytes(fs, "/f") == host.read_bytes()


@pytest.mark.parametrize("buffering", [0, -1])
def test_threads_sharing_a_file_lose_no_bytes(fs, buffering):
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        with q.open(fs, "/f", "wb+", buffering) as f:
            threads = [threading.Thread(target=lambda c=c: [f.write(c) for _ in range(5000)])
                       for c in (b"ab", b"cd", b"ef")]
            # Reads at the position, always the end here, find nothing and move nothing.
            reads = []
            threads.append(threading.Thread(
                target=lambda: reads.extend(f.read(2) for _ in range(20000))))
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
    finally:
        sys.setswitchinterval(interval)
    data = q.read_bytes(fs, "/f")
    assert len(data) == 30000 and all(data.count(c) == 5000 for c in (b"ab", b"cd", b"ef"))
    assert set(reads) == {b""}


@pytest.mark.parametrize("size", [io.DEFAULT_BUFFER_SIZE - 1, io.DEFAULT_BUFFER_SIZE,
                                  io.DEFAULT_BUFFER_SIZE + 1, 3 * io.DEFAULT_BUFFER_SIZE])
def test_readall_around_its_first_read(fs, size):
    data = os.urandom(size)
    put(fs, "/f", data)
    with q.open(fs, "/f", "rb", buffering=0) as raw:
        assert raw.readall() == data and raw.readall() == b""
        raw.seek(size // 2)
        assert raw.readall() == data[size // 2:]


def test_text_mode_lines_newlines_and_encodings(fs):
    with q.open(fs, "/t", "w", encoding="utf-8", newline="\r\n") as f:
        f.write("één\ntwee\n")
    assert q.read_bytes(fs, "/t") == "één\r\ntwee\r\n".encode()
    with q.open(fs, "/t", encoding="utf-8") as f:
        assert list(f) == ["één\n", "twee\n"]
    with q.open(fs, "/t", encoding="ascii", errors="replace") as f:
        assert f.readline() == "\ufffd\ufffd\ufffd\ufffdn\n"
    assert q.write_text(fs, "/t", "a\nb", newline="") == 3
    assert q.read_text(fs, "/t", newline="") == "a\nb"


@pytest.mark.parametrize("mode, call", [
    ("wb", lambda f: f.read()), ("rb", lambda f: f.write(b"x")),
    ("w", lambda f: f.read()), ("r", lambda f: f.write("x")),
])
def test_operations_the_mode_lacks(fs, mode, call):
    put(fs, "/f", b"data")
    with q.open(fs, "/f", mode) as f:
        with pytest.raises(io.UnsupportedOperation):
            call(f)
    assert q.read_bytes(fs, "/f") == (b"" if "w" in mode else b"data")


@pytest.mark.parametrize("closer", ["close", "with", "raw"])
def test_open_files_take_no_lock_and_close_at_once(fs, closer):
    f = q.open(fs, "/f", "wb")
    q.open(fs, "/f", "rb").close()  # no EBUSY: files are open as file descriptors are
    held(fs, "/f", "w").close()  # nor do they lock out the core's own handles
    if closer == "close":
        f.close()
    elif closer == "with":
        with f:
            f.write(b"x")
    else:
        f.raw.close()
    held(fs, "/f", "w").close()  # f is still referenced: nothing waits for a collector
    with pytest.raises(ValueError, match="closed file"):
        f.raw.readinto(bytearray(1))


def test_paths_are_str_or_pathlike(fs):
    q.makedirs(fs, pathlib.PurePosixPath("/a/b"))
    put(fs, pathlib.PurePosixPath("/a/b/f"), b"x")
    with q.open(fs, pathlib.PurePosixPath("/a") / "b" / "f", "rb") as f:
        assert f.read() == b"x"
    with pytest.raises(TypeError):
        q.open(fs, b"/a/b/f", "rb")


@pytest.mark.parametrize("path", ["/f/", "/f\\", "/f/."])
@pytest.mark.parametrize("mode", ["rb", "w", "a"])
def test_a_file_reached_as_a_directory_is_not_a_directory(fs, path, mode):
    put(fs, "/f", b"keep")
    # Creating through a trailing separator is EISDIR on Linux, whatever the name is.
    creating = mode != "rb" and not path.endswith(".")
    with pytest.raises(IsADirectoryError if creating else NotADirectoryError):
        q.open(fs, path, mode)
    assert q.read_bytes(fs, "/f") == b"keep"
    held(fs, "/f", "w").close()


# ---- errors -----------------------------------------------------------------------------

@pytest.mark.parametrize("kind, code, raised_type", [
    ("InodeNotFound", errno.ENOENT, FileNotFoundError),
    ("NotADirectory", errno.ENOTDIR, NotADirectoryError),
    ("NotAFile", errno.EISDIR, IsADirectoryError),
    ("ResourceAlreadyExists", errno.EEXIST, FileExistsError),
    ("DirectoryIsNotEmpty", errno.ENOTEMPTY, OSError),
    ("ResourceCurrentInUse", errno.EBUSY, OSError),
    ("MaxRecursionDepthExceeded", errno.ENAMETOOLONG, OSError),
    ("NoSpaceLeft", errno.ENOSPC, OSError),
    ("InvalidMove", errno.EINVAL, OSError),
    ("OperationNotSupported", errno.EBADF, io.UnsupportedOperation),
])
def test_error_mapping(kind, code, raised_type):
    core = ValueError("any text")  # the mapping reads the kind and errno, never the text
    core.kind, core.errno = kind, code
    mapped = q.errors.os_error(core, "/p", "/q")
    assert type(mapped) is raised_type
    if raised_type is not io.UnsupportedOperation:
        assert (mapped.errno, mapped.filename, mapped.filename2) == (code, "/p", "/q")
        assert q.errors.errno_of(core) == code
    with pytest.raises(raised_type) as raised:
        q.errors.raise_os_error(core, "/p")
    assert raised.value.__cause__ is core and str(core) == "any text"
    other = ValueError("Inode not found")
    assert q.errors.os_error(other) is other and q.errors.errno_of(other) is None


def test_a_real_core_failure_maps_by_its_kind(fs):
    with pytest.raises(ValueError) as core:
        fs.open_existing("/missing", "r")
    mapped = q.errors.os_error(core.value, "/missing")
    assert type(mapped) is FileNotFoundError and mapped.errno == errno.ENOENT


# ---- helpers ----------------------------------------------------------------------------

@pytest.fixture
def tree(fs):
    """/d/{a.txt, b.csv, e/, s/{c.txt}} and /top.txt"""
    q.makedirs(fs, "/d/s")
    fs.mkdir("/d/e")
    put(fs, "/d/a.txt", b"aaa")
    put(fs, "/d/b.csv", b"b")
    put(fs, "/d/s/c.txt", b"cc")
    put(fs, "/top.txt")
    return fs


@pytest.mark.parametrize("path, kind", [
    ("/d", "directory"), ("d/", "directory"), ("/", "directory"), ("/d/s/..", "directory"),
    ("/d/a.txt", "file"), ("\\d\\a.txt", "file"), ("/d/a.txt/", None), ("/nope", None),
    ("/d/a.txt/x", None),
])
def test_kind_queries(tree, path, kind):
    assert q.exists(tree, path) == (kind is not None)
    assert q.isfile(tree, path) == (kind == "file")
    assert q.isdir(tree, path) == (kind == "directory")
    if kind is None:
        with pytest.raises((FileNotFoundError, NotADirectoryError)):
            q.info(tree, path)
    else:
        assert q.info(tree, path)["type"] == kind


def test_info_getsize_listdir_and_scandir(tree):
    found = q.info(tree, "d/s/../a.txt")
    assert {k: found[k] for k in ("name", "type", "size")} == {
        "name": "/d/a.txt", "type": "file", "size": 3}
    # The write after the creation may fall on the clock's next tick.
    assert found["created"] <= found["mtime"] == q.stat(tree, "/d/a.txt").st_mtime
    assert q.getsize(tree, "/d/s/c.txt") == 2 and q.getsize(tree, "/d") == 0
    with holding(tree, "/held", "w") as held_file:  # stat takes no lock: no EBUSY
        held_file.write(b"longer")
        assert q.isfile(tree, "/held") and q.getsize(tree, "/held") == 6
    assert q.listdir(tree, "/d") == ["s", "e", "a.txt", "b.csv"]
    with q.scandir(tree, "/d") as entries:
        seen = [(e.name, e.path, e.is_dir(), e.is_file(), e.stat().st_size) for e in entries]
    assert seen == [("s", "/d/s", True, False, 0), ("e", "/d/e", True, False, 0),
                    ("a.txt", "/d/a.txt", False, True, 3), ("b.csv", "/d/b.csv", False, True, 1)]
    with pytest.raises(NotADirectoryError):
        q.listdir(tree, "/top.txt")


def test_walk_top_down_with_pruning_and_bottom_up(tree):
    walked = []
    for dirpath, dirnames, filenames in q.walk(tree, "/"):
        walked.append(dirpath)
        if "s" in dirnames:
            dirnames.remove("s")
    assert walked == ["/", "/d", "/d/e"]
    assert [top for top, _, _ in q.walk(tree, "/d", topdown=False)] == ["/d/s", "/d/e", "/d"]
    errors = []
    assert list(q.walk(tree, "/nope", onerror=errors.append)) == []
    assert isinstance(errors[0], FileNotFoundError)


@pytest.mark.parametrize("pattern, expected", [
    ("/d/*.txt", ["/d/a.txt"]),
    ("/**/*.txt", ["/top.txt", "/d/a.txt", "/d/s/c.txt"]),
    ("d/**/c.*", ["/d/s/c.txt"]),
    ("/d/[ab].*", ["/d/a.txt", "/d/b.csv"]),
    ("/d/?", ["/d/s", "/d/e"]),
    ("/d/s/c.txt", ["/d/s/c.txt"]),
    ("/d/*/c.txt", ["/d/s/c.txt"]),
    ("/nope/*", []),
    ("/top.txt/*", []),
    # glob.glob before 3.13 gives "/nope/" and "/top.txt/", which are no directories.
    ("/nope/**", []),
    ("/top.txt/**", []),
])
def test_glob(tree, pattern, expected):
    assert sorted(q.glob(tree, pattern)) == sorted(expected)


GLOB_TREE = ["a/b/c.txt", "a/b/x1", "a/b/b/c.txt", "a/b/b/b/", "a/x.txt", "a/.h/x2", "b/",
             "x.txt", ".hidden.txt"]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="glob's include_hidden is 3.11's")
@pytest.mark.parametrize("pattern", [
    "**", "**/", "**/*.txt", "**/**/x*", "a/**/b/**/c.txt", "**/b", "**/b/", "*/", "a/*/**",
    "**/.h*", "a/**/**/**", "[ab]/**/?.txt", "nope/*", "a/b/c.txt", "a/b/c.txt/", "**/b/*/",
])
def test_glob_matches_the_host_glob(fs, host_dir, pattern):
    for entry in GLOB_TREE:
        directory = entry if entry.endswith("/") else os.path.dirname(entry)
        (host_dir / directory).mkdir(parents=True, exist_ok=True)
        q.makedirs(fs, directory, exist_ok=True)
        if directory != entry:
            (host_dir / entry).write_bytes(b"")
            put(fs, entry)
    host = glob.glob(os.path.join(host_dir, pattern), recursive=True, include_hidden=True)
    found = q.glob(fs, "/" + pattern)
    assert len(set(found)) == len(found)
    assert sorted(found) == sorted({q.normpath(path[len(str(host_dir)):]) for path in host})


class CountingFs:
    """A PyFs whose listings are counted."""

    def __init__(self, fs):
        self.fs, self.listings = fs, 0

    def listdir(self, path):
        self.listings += 1
        return self.fs.listdir(path)

    def open_existing(self, path, mode):
        return self.fs.open_existing(path, mode)


def test_glob_lists_each_directory_once_however_many_double_stars(fs):
    path = "/d" * 16
    q.makedirs(fs, path)
    put(fs, path + "/x")
    counting = CountingFs(fs)
    assert q.glob(counting, "/**/**/d/**/*/**/x") == [path + "/x"]
    assert counting.listings == 17  # the root and the 16 below it, where 4,862 were made


def test_makedirs(fs):
    q.makedirs(fs, "/a/b/c")
    q.makedirs(fs, "/a/b", exist_ok=True)
    with pytest.raises(FileExistsError):
        q.makedirs(fs, "/a/b")
    put(fs, "/a/f")
    before = snapshot(fs)
    with pytest.raises(NotADirectoryError):
        q.makedirs(fs, "/a/f/x/y")
    with pytest.raises(FileExistsError):
        q.makedirs(fs, "/a/f", exist_ok=True)
    deep = "/" + "/".join("n%d" % i for i in range(70))
    with pytest.raises(OSError) as raised:
        q.makedirs(fs, "/a/new" + deep)  # too deep: what was made is taken back
    assert raised.value.errno == errno.ENAMETOOLONG
    assert snapshot(fs) == before


@pytest.mark.parametrize("call, path, error, code", [
    (q.remove, "/d", IsADirectoryError, errno.EISDIR),
    (q.remove, "/nope", FileNotFoundError, errno.ENOENT),
    (q.rmdir, "/d", OSError, errno.ENOTEMPTY),
    (q.rmdir, "/top.txt", NotADirectoryError, errno.ENOTDIR),
    (q.rmdir, "/", OSError, errno.EBUSY),
    (q.rmtree, "/top.txt", NotADirectoryError, errno.ENOTDIR),
    (q.rmtree, "/nope", FileNotFoundError, errno.ENOENT),
])
def test_removal_errors_change_nothing(tree, call, path, error, code):
    before = snapshot(tree)
    with pytest.raises(error) as raised:
        call(tree, path)
    assert raised.value.errno == code
    assert snapshot(tree) == before


def test_removals(tree):
    q.remove(tree, "/top.txt")
    q.rmdir(tree, "/d/e")
    with holding(tree, "/d/s/c.txt"):
        before = snapshot(tree)
        for call in (lambda: q.rmtree(tree, "/d"), lambda: q.remove(tree, "/d/s/c.txt")):
            with pytest.raises(OSError) as raised:
                call()
            assert raised.value.errno == errno.EBUSY
        assert snapshot(tree) == before  # nothing went, not even the files listed first
        q.rmtree(tree, "/d", ignore_errors=True)
        assert q.exists(tree, "/d/a.txt")
    q.rmtree(tree, "/d")
    assert q.listdir(tree, "/") == []
    put(tree, "/x")
    q.rmtree(tree, "/")
    assert q.listdir(tree, "/") == []


def test_copies_and_moves(tree):
    assert q.copyfile(tree, "/d/a.txt", "/copy") == "/copy"
    assert q.read_bytes(tree, "/copy") == b"aaa"
    with pytest.raises(IsADirectoryError):
        q.copyfile(tree, "/d", "/x")
    with pytest.raises(FileExistsError):
        q.copytree(tree, "/d", "/top.txt")
    q.copytree(tree, "/d", "/d2")
    assert [sorted(f) for _, _, f in q.walk(tree, "/d2")] == [["a.txt", "b.csv"], ["c.txt"], []]
    assert q.move(tree, "/d2/s", "/d/e") == "/d/e/s"  # into an existing directory
    assert q.read_bytes(tree, "/d/e/s/c.txt") == b"cc" and not q.exists(tree, "/d2/s")
    assert q.move(tree, "/copy", "/moved") == "/moved"
    assert not q.exists(tree, "/copy") and q.read_bytes(tree, "/moved") == b"aaa"


@pytest.mark.parametrize("call", [
    lambda fs: q.move(fs, "/d", "/d/s"),  # into itself
    lambda fs: q.move(fs, "/top.txt", "/d/s/c.txt"),  # over a file a core handle holds
    lambda fs: q.copyfile(fs, "/d/a.txt", "/d/s/c.txt"),
    lambda fs: q.copytree(fs, "/d", "/d/s/inside"),
    lambda fs: q.copyfile(fs, "/d/a.txt", "/d/a.txt"),
])
def test_failed_copies_and_moves_change_nothing(tree, call):
    before = snapshot(tree)
    with holding(tree, "/d/s/c.txt"):
        with pytest.raises(OSError):
            call(tree)
    assert snapshot(tree) == before


def files(fs, entries):
    for path, data in entries.items():
        q.makedirs(fs, os.path.dirname(path), exist_ok=True)
        put(fs, path, data)


def test_copytree_over_a_tree_puts_back_what_it_replaced_when_it_fails(fs):
    files(fs, {"/s/z": b"new", "/s/n": b"new", "/s/a/x": b"new!", "/s/a/m/y": b"new",
               "/d/z": b"old!", "/d/a/x": b"old"})
    before = snapshot(fs)
    with holding(fs, "/d/a/x"):  # met after /d/z was replaced and /d/n made
        with pytest.raises(OSError) as raised:
            q.copytree(fs, "/s", "/d", dirs_exist_ok=True)
        assert (raised.value.errno, raised.value.filename) == (errno.EBUSY, "/d/a/x")
    assert snapshot(fs) == before
    q.copytree(fs, "/s", "/d", dirs_exist_ok=True)
    assert contents(fs, "/d") == contents(fs, "/s")


def test_copytree_into_an_ancestor_copies_the_tree_as_it_was(fs):
    files(fs, {"/a/b/f": b"1", "/a/b/b/x/f": b"2", "/a/b/x/f": b"3", "/a/f": b"0"})
    q.copytree(fs, "/a/b", "/a", dirs_exist_ok=True)
    assert contents(fs, "/a") == {"/f": b"1", "/x/f": b"3", "/b/f": b"1", "/b/x/f": b"2",
                                  "/b/b/x/f": b"2"}


def test_whole_file_helpers(fs):
    assert q.write_bytes(fs, "/b", bytearray(b"abc")) == 3
    assert q.write_bytes(fs, "/b", b"z") == 1
    assert q.read_bytes(fs, "/b") == b"z"
    assert q.write_text(fs, "/t", "héllo", encoding="utf-8") == 5
    assert q.read_text(fs, "/t", encoding="utf-8") == "héllo"


# A name that is not UTF-8 (os.fsdecode makes lone surrogates of such bytes) cannot be
# stored: looking it up finds nothing, making it is EINVAL, and nothing changes.
@pytest.mark.parametrize("call, path, code", [
    (lambda fs, p: q.open(fs, p, "rb"), "/d/\udcff", errno.ENOENT),
    (lambda fs, p: q.open(fs, p, "w"), "/d/a\udc80b", errno.EINVAL),
    (lambda fs, p: q.open(fs, p, "xb"), "/nope/\udcff", errno.ENOENT),
    (lambda fs, p: q.open(fs, p, "a"), "/f/\udcff", errno.ENOTDIR),
    (q.makedirs, "/d/\udcff/x", errno.EINVAL),
    (q.listdir, "/\udcff/..", errno.ENOENT),
    (q.info, "/d/\udcff", errno.ENOENT),
    (q.remove, "/\udcff", errno.ENOENT),
    (q.rmtree, "/\udcff/d", errno.ENOENT),
    (lambda fs, p: q.write_bytes(fs, p, b"x"), "/\udcff", errno.EINVAL),
    (lambda fs, p: q.copyfile(fs, p, "/g"), "/\udcff", errno.ENOENT),
    (lambda fs, p: q.copytree(fs, "/d", p), "/\udcff", errno.EINVAL),
    (lambda fs, p: q.move(fs, "/f", p), "/d/\udcff", errno.EINVAL),
    (lambda fs, p: q.export_tar(fs, p, io.BytesIO()), "/d/\udcff", errno.ENOENT),
    (lambda fs, p: q.export_host(fs, p, "/nonexistent/quorvex"), "/\udcff", errno.ENOENT),
    (lambda fs, p: q.import_host(fs, os.path.dirname(__file__), p), "/d/\udcff", errno.EINVAL),
])
def test_names_the_file_system_cannot_store(fs, call, path, code):
    fs.mkdir("/d")
    put(fs, "/f", b"x")
    before = snapshot(fs)
    with pytest.raises(OSError) as raised:
        call(fs, path)
    assert raised.value.errno == code
    assert snapshot(fs) == before
    assert (q.exists(fs, path), q.glob(fs, path), list(q.walk(fs, path))) == (False, [], [])


# ---- transfers ----------------------------------------------------------------------------

def host_tree(root):
    (root / "sub" / "deep").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "a.bin").write_bytes(bytes(range(256)) * 3)
    (root / "sub" / "b.txt").write_bytes(b"bee")
    (root / "sub" / "deep" / "nothing").write_bytes(b"")
    return {"/a.bin": bytes(range(256)) * 3, "/sub/b.txt": b"bee", "/sub/deep/nothing": b""}


def contents(fs, top):
    found = {}
    for dirpath, _, filenames in q.walk(fs, top):
        for name in filenames:
            path = dirpath.rstrip("/") + "/" + name
            found[path[len(top.rstrip("/")):]] = q.read_bytes(fs, path)
    return found


@pytest.fixture
def small_pieces(monkeypatch):
    """Copies in pieces of 100 bytes, so that every file of a few hundred takes several."""
    monkeypatch.setattr(_common, "CHUNK", 100)
    monkeypatch.setattr(_transfer, "_CHUNK", 100)


def test_host_round_trip_streams_in_pieces(fs, tmp_path, small_pieces):
    files = host_tree(tmp_path / "in")
    calls = []
    assert q.import_host(fs, tmp_path / "in", "/data", progress=lambda *a: calls.append(a)) == 3
    assert contents(fs, "/data") == files and q.isdir(fs, "/data/empty")
    pieces = [c for c in calls if c[0] == "/data/a.bin"]
    assert [c[1] for c in pieces] == [100, 200, 300, 400, 500, 600, 700, 768]
    assert all(c[2] == 768 for c in pieces) and ("/data/sub/deep/nothing", 0, 0) in calls
    assert q.export_host(fs, "/data", tmp_path / "out" / "new") == 3
    back = tmp_path / "out" / "new"
    assert (back / "a.bin").read_bytes() == files["/a.bin"] and (back / "empty").is_dir()
    assert (back / "sub" / "deep" / "nothing").read_bytes() == b""


def test_host_transfers_never_overwrite_and_undo_on_failure(fs, tmp_path):
    host_tree(tmp_path / "in")
    q.makedirs(fs, "/data/sub")
    put(fs, "/data/sub/b.txt", b"mine")
    before = snapshot(fs)
    with pytest.raises(FileExistsError):
        q.import_host(fs, tmp_path / "in", "/data")
    assert snapshot(fs) == before
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "sub").mkdir()
    (tmp_path / "out" / "sub" / "b.txt").write_bytes(b"theirs")
    with pytest.raises(FileExistsError):
        q.export_host(fs, "/data", tmp_path / "out")
    assert sorted(p.name for p in (tmp_path / "out").rglob("*")) == ["b.txt", "sub"]
    with pytest.raises(FileNotFoundError):
        q.import_host(fs, tmp_path / "nope")


def test_tar_round_trip_through_a_stream_and_a_compressed_path(fs, tmp_path, small_pieces):
    files = host_tree(tmp_path / "in")
    q.import_host(fs, tmp_path / "in", "/src")
    stream = io.BytesIO()
    assert q.export_tar(fs, "/src", stream) == 3
    with tarfile.open(fileobj=io.BytesIO(stream.getvalue())) as archive:
        assert sorted(archive.getnames()) == ["a.bin", "empty", "sub", "sub/b.txt", "sub/deep",
                                              "sub/deep/nothing"]
    stream.seek(0)
    assert q.import_tar(fs, stream, "/copy") == 3
    assert contents(fs, "/copy") == files and q.isdir(fs, "/copy/empty")
    target = tmp_path / "t.tar.gz"
    seen = []
    q.export_tar(fs, "/src", target, progress=lambda *a: seen.append(a))
    assert ("a.bin", 768, 768) in seen and ("sub/deep/nothing", 0, 0) in seen
    with tarfile.open(target, "r:gz") as archive:
        assert archive.extractfile("sub/b.txt").read() == b"bee"
    assert q.import_tar(fs, target, "/again") == 3 and contents(fs, "/again") == files
    with pytest.raises(FileExistsError):
        q.export_tar(fs, "/src", target)


def test_tar_import_refuses_escapes_and_undoes_what_it_made(fs):
    stream = io.BytesIO()
    with tarfile.open(fileobj=stream, mode="w") as archive:
        for name, data in [("ok/a", b"a"), ("../../evil", b"e")]:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
        link = tarfile.TarInfo("ok/link")
        link.type = tarfile.SYMTYPE
        archive.addfile(link)
    before = snapshot(fs)
    stream.seek(0)
    with pytest.raises(tarfile.TarError):
        q.import_tar(fs, stream, "/in")
    assert snapshot(fs) == before


def test_export_host_refuses_a_link_inside_the_target(fs, tmp_path):
    q.makedirs(fs, "/sub")
    put(fs, "/sub/f", b"x")
    outside = tmp_path / "outside"
    outside.mkdir()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "sub").symlink_to(outside)
    with pytest.raises(FileExistsError):
        q.export_host(fs, "/", tmp_path / "out")
    assert list(outside.iterdir()) == []


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_import_host_opens_names_without_following_links_or_blocking(fs, tmp_path, monkeypatch):
    (tmp_path / "secret").write_bytes(b"secret")
    tree = tmp_path / "in"
    tree.mkdir()
    (tree / "f").write_bytes(b"ok")
    (tree / "link").symlink_to(tmp_path / "secret")
    (tree / "dirlink").symlink_to(tmp_path)
    os.mkfifo(tree / "pipe")
    # A listing taken before the names were swapped for a link or a pipe.
    monkeypatch.setattr(_transfer._HostDirectory, "entries", lambda self: [
        ("f", False), ("link", False), ("pipe", False), ("dirlink", True)])
    # A regression would block on the pipe: a writer then ends it, and the test fails.
    unblock = threading.Timer(20, lambda: os.close(os.open(tree / "pipe", os.O_WRONLY)))
    unblock.daemon = True
    unblock.start()
    try:
        assert q.import_host(fs, tree) == 1
    finally:
        unblock.cancel()
    assert q.listdir(fs, "/") == ["f"]


def test_tar_import_keeps_no_member_it_has_copied(fs, monkeypatch):
    stream = io.BytesIO()
    with tarfile.open(fileobj=stream, mode="w") as archive:
        for number in range(50):
            archive.addfile(tarfile.TarInfo(f"d/{number}"))
    stream.seek(0)
    kept = []
    next_member = tarfile.TarFile.next

    def counting_next(self):
        kept.append(len(self.members))
        return next_member(self)

    monkeypatch.setattr(tarfile.TarFile, "next", counting_next)
    assert q.import_tar(fs, stream) == 50
    assert max(kept) <= 1


def sparse_archive(real_size):
    """A PAX sparse member "big" whose 512 stored bytes expand to `real_size`."""
    stream = io.BytesIO()
    with tarfile.open(fileobj=stream, mode="w", format=tarfile.PAX_FORMAT) as archive:
        info = tarfile.TarInfo("big")
        info.pax_headers = {"GNU.sparse.major": "1", "GNU.sparse.minor": "0",
                            "GNU.sparse.name": "big", "GNU.sparse.realsize": str(real_size)}
        body = b"1\n0\n512\n".ljust(512, b"\0") + b"x" * 512
        info.size = len(body)
        archive.addfile(info, io.BytesIO(body))
    stream.seek(0)
    return stream


def test_tar_import_caps_a_sparse_member_at_what_the_archive_holds(fs):
    assert q.import_tar(fs, sparse_archive(512)) == 1 and q.read_bytes(fs, "/big") == b"x" * 512
    before = snapshot(fs)
    with pytest.raises(tarfile.TarError, match="'big' would expand to 1073741824 bytes"):
        q.import_tar(fs, sparse_archive(1 << 30), "/again")
    assert snapshot(fs) == before


def latin1_archive():
    stream = io.BytesIO()
    with tarfile.open(fileobj=stream, mode="w", format=tarfile.GNU_FORMAT,
                      encoding="latin-1") as archive:
        archive.addfile(tarfile.TarInfo("ok/\xff"))
    stream.seek(0)
    return stream


@pytest.mark.parametrize("transfer", [
    lambda fs, tmp: q.import_tar(fs, latin1_archive(), "/in"),
    lambda fs, tmp: q.import_host(fs, os.fsencode(tmp), "/in"),
], ids=["tar", "host"])
def test_imports_refuse_names_that_are_not_utf8_with_eilseq(fs, tmp_path, transfer):
    (tmp_path / "ok").mkdir()
    try:
        (tmp_path / os.fsdecode(b"ok/\xff")).write_bytes(b"")
    except OSError:
        pytest.skip("the host refuses names that are not UTF-8 itself")
    before = snapshot(fs)
    with pytest.raises(OSError) as caught:
        transfer(fs, tmp_path)
    assert caught.value.errno == errno.EILSEQ and snapshot(fs) == before


@pytest.mark.parametrize("transfer", [
    lambda fs, tmp: q.export_tar(fs, "/", io.BytesIO()),
    lambda fs, tmp: q.export_tar(fs, "/", tmp / "a.tar"),
    lambda fs, tmp: q.export_host(fs, "/", tmp / "made"),
], ids=["tar stream", "tar path", "host"])
@pytest.mark.parametrize("path", ["/a\0b", "/d\0/f"])
def test_exports_refuse_names_with_nul(fs, tmp_path, transfer, path):
    q.makedirs(fs, os.path.dirname(path), exist_ok=True)
    put(fs, path)
    with pytest.raises(OSError) as caught:
        transfer(fs, tmp_path)
    assert caught.value.errno == errno.EINVAL and list(tmp_path.iterdir()) == []
