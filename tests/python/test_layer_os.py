"""quorvex_fs against Linux: the same steps on a quorvex file system and on the host (tmpfs
where there is one) give the same results and the same errors."""
import builtins
import errno
import os
import shutil
import stat as stat_module
import tempfile

import pytest

import quorvex
import quorvex_fs as q


class Host:
    """The steps through os and the builtin open, below a host directory."""

    def __init__(self, root):
        self.root = str(root)

    def at(self, path):
        return self.root + path

    def open(self, path, mode="r", **kwargs):
        return builtins.open(self.at(path), mode, **kwargs)

    def mkdir(self, path):
        os.mkdir(self.at(path))

    def remove(self, path):
        os.remove(self.at(path))

    def rename(self, src, dst):
        os.rename(self.at(src), self.at(dst))

    def replace(self, src, dst):
        os.replace(self.at(src), self.at(dst))

    def stat(self, path):
        return os.stat(self.at(path))

    def walk(self):
        return sorted((top[len(self.root):] or "/", sorted(dirs), sorted(files))
                      for top, dirs, files in os.walk(self.root))


class Quorvex:
    """The same steps through quorvex_fs."""

    def __init__(self, fs):
        self.fs = fs

    def open(self, path, mode="r", **kwargs):
        return q.open(self.fs, path, mode, **kwargs)

    def mkdir(self, path):
        self.fs.mkdir(path)

    def remove(self, path):
        q.remove(self.fs, path)

    def rename(self, src, dst):
        q.rename(self.fs, src, dst)

    def replace(self, src, dst):
        q.replace(self.fs, src, dst)

    def stat(self, path):
        return q.stat(self.fs, path)

    def walk(self):
        return sorted((top, sorted(dirs), sorted(files)) for top, dirs, files in q.walk(self.fs))


@pytest.fixture
def both(tmp_path):
    """(Host, Quorvex): the host side on tmpfs where the machine has /dev/shm."""
    shm = "/dev/shm"
    if not (os.path.isdir(shm) and os.access(shm, os.W_OK)):
        yield Host(tmp_path), Quorvex(quorvex.PyFs())
        return
    root = tempfile.mkdtemp(dir=shm)
    try:
        yield Host(root), Quorvex(quorvex.PyFs())
    finally:
        shutil.rmtree(root)


def same(both, steps):
    """Runs `steps` on each side; the results (or the errors' types and errno) match."""
    outcomes = []
    for side in both:
        try:
            outcomes.append(("ok", steps(side)))
        except OSError as error:
            outcomes.append((type(error), error.errno))
    assert outcomes[0] == outcomes[1]
    return outcomes[1]


@pytest.mark.parametrize("path", ["/f/", "/new/", "/d/", "/d/.", "/new/.", "/f/.",
                                  "/nodir/new/", "/f/x/"])
@pytest.mark.parametrize("mode", ["rb", "r+b", "wb", "ab", "xb"])
def test_paths_that_name_a_directory_fail_as_on_linux(both, path, mode):
    def steps(side):
        write(side, "/f", b"keep")
        side.mkdir("/d")
        try:
            side.open(path, mode).close()
        finally:
            with side.open("/f", "rb") as f:
                assert f.read() == b"keep"
            assert side.walk() == [("/", ["d"], ["f"]), ("/d", [], [])]

    assert same(both, steps)[0] != "ok"


def write(side, path, data):
    with side.open(path, "wb") as f:
        f.write(data)


def read_then_overwrite(side):
    write(side, "/f", b"0123456789")
    with side.open("/f", "rb") as r:
        first = r.read(4)
        with side.open("/f", "wb") as w:  # truncates what r reads on from
            w.write(b"ab")
        return first, r.read(), side.open("/f", "rb").read()


def remove_while_open(side):
    write(side, "/f", b"kept")
    with side.open("/f", "r+b", buffering=0) as f:
        side.remove("/f")
        f.seek(0, os.SEEK_END)
        f.write(b"!")
        f.seek(0)
        data = f.read()
    write(side, "/f", b"new")  # a new file under the old name
    return data


def replace_while_open(side):
    write(side, "/f", b"old")
    write(side, "/g", b"new")
    with side.open("/f", "rb") as f:
        side.replace("/g", "/f")
        return f.read(), side.open("/f", "rb").read()


def append_through_two_files(side):
    with side.open("/log", "ab", buffering=0) as a, side.open("/log", "ab", buffering=0) as b:
        a.write(b"1")
        b.write(b"2")
        a.write(b"3")
    return side.open("/log", "rb").read()


@pytest.mark.parametrize("steps", [
    read_then_overwrite, remove_while_open, append_through_two_files,
    replace_while_open,
])
def test_open_files_behave_as_on_linux(both, steps):
    same(both, steps)


def stat_fields(side):
    side.mkdir("/d")
    side.mkdir("/d/e")
    side.mkdir("/d/g")
    write(side, "/d/f", b"12345")
    facts = []
    for path in ("/d", "/d/f"):
        st = side.stat(path)
        facts.append((stat_module.S_IFMT(st.st_mode), st.st_size if path == "/d/f" else None,
                      st.st_nlink, abs(st.st_mtime - st.st_mtime_ns / 1e9) < 1e-6))
    return facts


def test_stat_fields_match_linux(both):
    same(both, stat_fields)
    fs = both[1].fs
    st = q.stat(fs, "/d/f")
    assert st.st_ino == fs.stat("/d/f").id and stat_module.S_IMODE(st.st_mode) == 0o644
    assert st.st_atime_ns == st.st_ctime_ns == st.st_mtime_ns
    q.utime(fs, "/d/f", ns=(1, 1_500_000_000_123_456_789))
    st = q.stat(fs, "/d/f")
    assert (st.st_mtime_ns, st.st_mtime) == (1_500_000_000_123_456_789, 1_500_000_000.1234567)
    assert [e.stat().st_size for e in q.scandir(fs, "/d") if e.is_file()] == [5]


def tree(side):
    for path in ("/d", "/d/sub", "/e", "/full"):
        side.mkdir(path)
    for path in ("/f", "/g", "/full/x"):
        write(side, path, b"x")


@pytest.mark.parametrize("how", ["rename", "replace"])
@pytest.mark.parametrize("src, dst", [
    ("/f", "/g"),            # a file replaces a file
    ("/d", "/e"),            # a directory replaces an empty directory
    ("/f", "/d"),            # a file onto a directory: EISDIR
    ("/d", "/f"),            # a directory onto a file: ENOTDIR
    ("/e", "/full"),         # onto a directory with entries: ENOTEMPTY
    ("/d", "/d/sub/x"),      # into its own subtree: EINVAL
    ("/nope", "/x"),         # missing source: ENOENT
    ("/f", "/nope/x"),       # missing parent: ENOENT
    ("/f", "/g/x"),          # a file as the parent: ENOTDIR
    ("/f", "/f"),            # onto itself: nothing happens
])
def test_rename_and_replace_match_linux(both, how, src, dst):
    def steps(side):
        tree(side)
        try:
            getattr(side, how)(src, dst)
        finally:
            listing = side.walk()
        return listing
    same(both, steps)
    assert both[0].walk() == both[1].walk()  # a failure changed nothing on either side


def test_move_is_a_rename_that_keeps_open_files(both):
    fs = both[1].fs
    q.makedirs(fs, "/a/b")
    q.write_bytes(fs, "/a/b/f", b"data")
    before = q.stat(fs, "/a/b/f").st_ino
    with q.open(fs, "/a/b/f", "rb") as f:
        assert q.move(fs, "/a", "/z") == "/z"
        assert f.read() == b"data"
    assert q.read_bytes(fs, "/z/b/f") == b"data" and not q.exists(fs, "/a")
    assert q.stat(fs, "/z/b/f").st_ino == before


def test_transfers_keep_modification_times(tmp_path):
    import io
    fs = quorvex.PyFs()
    source = tmp_path / "in"
    (source / "d").mkdir(parents=True)
    (source / "d" / "f").write_bytes(b"x")
    os.utime(source / "d" / "f", ns=(0, 1_000_000_000_000_000_001))
    os.utime(source / "d", ns=(0, 2_000_000_000_000_000_000))
    q.import_host(fs, source)
    assert [q.stat(fs, p).st_mtime_ns for p in ("/d/f", "/d")] == [
        1_000_000_000_000_000_001, 2_000_000_000_000_000_000]
    q.export_host(fs, "/", tmp_path / "out")
    assert [os.stat(tmp_path / "out" / p).st_mtime_ns for p in ("d/f", "d")] == [
        1_000_000_000_000_000_001, 2_000_000_000_000_000_000]
    archive = io.BytesIO()
    q.export_tar(fs, "/", archive)
    archive.seek(0)
    copy = quorvex.PyFs()
    q.import_tar(copy, archive)
    assert [q.stat(copy, p).st_mtime for p in ("/d/f", "/d")] == pytest.approx([1e9, 2e9])
