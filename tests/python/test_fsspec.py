"""The quorvex:// fsspec file system: fsspec's own abstract suite and its semantics."""
import datetime
import errno
import gc
import os
import pickle
import posixpath
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import quorvex

fsspec = pytest.importorskip("fsspec")
from fsspec.tests import abstract  # noqa: E402

from quorvex_fs import fsspec_fs  # noqa: E402
from quorvex_fs.fsspec_fs import QuorvexFileSystem, default_fs  # noqa: E402


class QuorvexFixtures(abstract.AbstractFixtures):
    @pytest.fixture
    def fs(self, quorvex_fs):
        return fsspec.filesystem("quorvex", fs=quorvex_fs)

    @pytest.fixture
    def fs_join(self):
        return posixpath.join

    @pytest.fixture
    def fs_path(self):
        return "/work"


# Older fsspec releases ship fewer of the suites.
for _suite in ["Copy", "Get", "Put", "Open", "Pipe"]:
    _base = getattr(abstract, f"Abstract{_suite}Tests", None)
    if _base is not None:
        _name = f"TestQuorvex{_suite}"
        globals()[_name] = type(_name, (_base, QuorvexFixtures), {})


@pytest.fixture
def qfs(quorvex_fs):
    fs = fsspec.filesystem("quorvex", fs=quorvex_fs)
    fs.pipe({"/d/a.txt": b"0123456789", "/d/sub/b.bin": b"bb", "/d/sub/deep/c.txt": b""})
    return fs


def test_urls_without_fs_use_the_default_one():
    with fsspec.open("quorvex://data/x.csv", "w") as f:
        f.write("a,b\n1,2\n")
    with fsspec.open("quorvex:///data/x.csv", "rb") as f:
        assert f.read() == b"a,b\n1,2\n"
    assert default_fs().listdir("/data") == (["x.csv"], [])
    fsspec.filesystem("quorvex").rm("/data", recursive=True)


@pytest.mark.parametrize("url", ["quorvex://d/a.txt", "quorvex:///d//a.txt", "d/a.txt",
                                 "/d/a.txt/", "\\d\\a.txt", "quorvex://d/./a.txt"])
def test_url_forms_name_one_path(qfs, url):
    assert qfs.cat_file(url) == b"0123456789"
    assert qfs.info(url)["name"] == "/d/a.txt"


def test_listings_name_paths_in_one_form(qfs):
    assert qfs.find("/d\\sub\\") == ["/d/sub/b.bin", "/d/sub/deep/c.txt"]
    assert qfs.ls("quorvex://d/./sub", detail=False) == ["/d/sub/b.bin", "/d/sub/deep"]
    assert qfs.info("/d/sub/..")["name"] == "/d/sub/.."  # resolved by the core, as it walks


def test_one_instance_per_pyfs():
    first, second = quorvex.PyFs(), quorvex.PyFs()
    a = fsspec.filesystem("quorvex", fs=first)
    assert fsspec.filesystem("quorvex", fs=first) is a
    b = fsspec.filesystem("quorvex", fs=second)
    assert b is not a and b != a
    a.pipe_file("/only-in-first", b"x")
    assert not b.exists("/only-in-first") and a.exists("/only-in-first")
    assert isinstance(a, QuorvexFileSystem) and a.pyfs is first


def test_an_instance_over_a_pyfs_of_ones_own_does_not_keep_it():
    pyfs = quorvex.PyFs()  # takes no weak reference itself: its holders are counted
    held = sys.getrefcount(pyfs) if hasattr(sys, "getrefcount") else None
    qfs = fsspec.filesystem("quorvex", fs=pyfs)
    assert fsspec.filesystem("quorvex", fs=pyfs) is qfs
    gone = weakref.ref(qfs)
    del qfs
    gc.collect()
    assert gone() is None
    assert held is None or sys.getrefcount(pyfs) == held


def test_pickles_by_reference_good_in_this_process_while_the_instance_lives(quorvex_fs):
    qfs = fsspec.filesystem("quorvex", fs=quorvex_fs)
    blob = pickle.dumps(qfs)
    assert pickle.loads(blob) is qfs
    assert pickle.loads(pickle.dumps(fsspec.filesystem("quorvex"))).pyfs is default_fs()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(quorvex.__file__).parent), str(Path(fsspec_fs.__file__).parents[1])]))
    elsewhere = subprocess.run(
        [sys.executable, "-c", "import pickle, sys; pickle.loads(sys.stdin.buffer.read())"],
        input=blob, capture_output=True, env=env, timeout=60)
    assert b"UnpicklingError: a quorvex file system over a PyFs" in elsewhere.stderr
    del qfs
    gc.collect()
    with pytest.raises(pickle.UnpicklingError):
        pickle.loads(blob)


def test_dask_tokenizes_an_instance_and_its_files(quorvex_fs):
    dask = pytest.importorskip("dask")
    from dask.base import tokenize

    qfs = fsspec.filesystem("quorvex", fs=quorvex_fs)
    other = fsspec.filesystem("quorvex", fs=quorvex.PyFs())
    with dask.config.set({"tokenize.ensure-deterministic": True}):
        assert tokenize(qfs) == tokenize(qfs) != tokenize(other)
        opened = [fsspec.core.OpenFile(qfs, "/a") for _ in range(2)]
        assert tokenize(opened[0]) == tokenize(opened[1])
        # read_parquet tokenizes its storage_options, the PyFs in them included.
        options = {"fs": quorvex_fs}
        assert tokenize(options) == tokenize(options) != tokenize({"fs": other.pyfs})


@pytest.mark.parametrize(
    "mode, data, expected",
    [("wb", b"ab", b"ab"), ("ab", b"ab", b"0123456789ab")],
    ids=["truncates", "appends"],
)
def test_write_modes(qfs, mode, data, expected):
    with qfs.open("/d/a.txt", mode) as f:
        f.write(data)
    assert qfs.cat_file("/d/a.txt") == expected
    assert qfs.size("/d/a.txt") == len(expected)


def test_text_mode_translates_newlines(qfs):
    with qfs.open("/d/t.txt", "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\u00e9\n")
    assert qfs.cat_file("/d/t.txt") == "\u00e9\r\n".encode()
    with qfs.open("/d/t.txt", "r", encoding="utf-8") as f:
        assert f.read() == "\u00e9\n"


@pytest.mark.parametrize("start, end, expected",
                         [(2, 5, b"234"), (-3, None, b"789"), (None, -8, b"01"), (8, 100, b"89"),
                          (5, 2, b""), (5, -8, b""), (-3, -5, b""), (None, -20, b"")])
def test_byte_ranges(qfs, start, end, expected):
    assert qfs.cat_file("/d/a.txt", start=start, end=end) == expected
    if start is not None and 0 <= start <= (end or -1):
        assert qfs.read_block("/d/a.txt", start, end - start) == expected[: end - start]


def test_listing_and_searching(qfs):
    assert qfs.ls("/d", detail=False) == ["/d/a.txt", "/d/sub"]
    found = qfs.info("quorvex://d/sub/b.bin")
    assert {key: found[key] for key in ("name", "size", "type")} == {
        "name": "/d/sub/b.bin", "size": 2, "type": "file"}
    assert qfs.info("/d/sub")["type"] == "directory"
    assert qfs.glob("/d/**/*.txt") == ["/d/a.txt", "/d/sub/deep/c.txt"]
    assert qfs.find("/d") == ["/d/a.txt", "/d/sub/b.bin", "/d/sub/deep/c.txt"]
    assert [(root, sorted(dirs), files) for root, dirs, files in qfs.walk("/d")] == [
        ("/d", ["sub"], ["a.txt"]), ("/d/sub", ["deep"], ["b.bin"]), ("/d/sub/deep", [], ["c.txt"])]


def test_times_come_from_the_core_and_are_aware_datetimes(qfs):
    qfs.pyfs.set_times("/d/a.txt", -1_500_000_000)  # before 1970, to the microsecond
    assert qfs.info("/d/a.txt")["mtime"] == -1.5
    assert qfs.modified("/d/a.txt") == datetime.datetime(
        1969, 12, 31, 23, 59, 58, 500000, tzinfo=datetime.timezone.utc)
    # The datetime keeps whole microseconds of the float's time: they differ by less than
    # one microsecond, plus the float's rounding at today's magnitude (a quarter of one).
    born = qfs.created("/d/sub")
    assert born.tzinfo is not None and born.timestamp() == pytest.approx(
        qfs.info("/d/sub")["created"], abs=1.5e-6)
    assert [entry["mtime"] for entry in qfs.ls("/d") if entry["name"] == "/d/a.txt"] == [-1.5]


@pytest.mark.parametrize("target, moved", [("/e", "/e/sub"), ("/d/a.txt", None)],
                         ids=["into a directory", "onto a file"])
def test_mv_renames_in_one_step(qfs, target, moved):
    qfs.mkdir("/e")
    if moved is None:
        with pytest.raises(NotADirectoryError):  # rename(2): a directory onto a file
            qfs.mv("/d/sub", target)
        qfs.mv("/d/sub/b.bin", target)
        assert qfs.cat("/d/a.txt") == b"bb" and not qfs.exists("/d/sub/b.bin")
        return
    ino = qfs.info("/d/sub")["ino"]
    qfs.mv("/d/sub", target)
    assert qfs.info(moved)["ino"] == ino and qfs.find(moved) == [
        "/e/sub/b.bin", "/e/sub/deep/c.txt"]


def test_a_failed_transaction_leaves_nothing(qfs):
    with pytest.raises(ZeroDivisionError), qfs.transaction:
        with qfs.open("/d/a.txt", "ab") as f:
            f.write(b"+")
        with qfs.open("/d/new.txt", "w") as f:
            f.write("new")
        1 / 0
    assert qfs.find("/d", withdirs=True) == [
        "/d", "/d/a.txt", "/d/sub", "/d/sub/b.bin", "/d/sub/deep", "/d/sub/deep/c.txt"]
    assert qfs.cat("/d/a.txt") == b"0123456789"


# fsspec releases before 2026 commit a transaction's compressed file through the
# compression wrapper, which has no commit(), whatever the file system.
COMPRESSES_IN_TRANSACTIONS = int(fsspec.__version__.split(".")[0]) >= 2026


def test_a_transaction_appends_compresses_and_refuses_existing_files(qfs):
    with qfs.transaction:
        with qfs.open("/d/a.txt", "ab") as f:
            f.write(b"+")
        if COMPRESSES_IN_TRANSACTIONS:
            with qfs.open("/d/z.gz", "wb", compression="gzip") as f:
                f.write(b"zzz")
        with pytest.raises(FileExistsError):
            qfs.pipe_file("/d/a.txt", b"x", mode="create")
    assert qfs.cat("/d/a.txt") == b"0123456789+"
    if COMPRESSES_IN_TRANSACTIONS:
        assert qfs.open("/d/z.gz", "rb", compression="gzip").read() == b"zzz"
        assert qfs.ls("/d", detail=False) == ["/d/a.txt", "/d/sub", "/d/z.gz"]


def test_copy_move_remove(qfs):
    qfs.cp("/d/sub", "/e", recursive=True)
    qfs.mv("/d/a.txt", "/e/moved.txt")
    assert qfs.find("/e") == ["/e/b.bin", "/e/deep/c.txt", "/e/moved.txt"]
    assert qfs.cat("/e/moved.txt") == b"0123456789" and not qfs.exists("/d/a.txt")
    qfs.rm("/d", recursive=True)
    assert qfs.ls("/", detail=False) == ["/e"]


def test_removing_the_root_empties_it_and_keeps_it(qfs):
    qfs.rm("/", recursive=True)
    assert qfs.ls("/", detail=False) == [] and qfs.isdir("/")
    with pytest.raises(OSError) as caught:
        qfs.rm("/")
    assert caught.value.errno == errno.EBUSY


@pytest.mark.parametrize(
    "call",
    [lambda fs: fs.info("/nope"), lambda fs: fs.ls("/nope"), lambda fs: fs.cat("/nope"),
     lambda fs: fs.open("/d/nope", "rb"), lambda fs: fs.rm("/nope"),
     lambda fs: fs.cp("/nope", "/x"), lambda fs: fs.info("/d/\udcff")],
    ids=["info", "ls", "cat", "open", "rm", "cp", "unstorable name"],
)
def test_missing_paths_raise_file_not_found(qfs, call):
    with pytest.raises(FileNotFoundError):
        call(qfs)
