"""PyFs.stat, set_times, set_limits and usage, and PyFileHandle.stat."""

import errno
import threading

import pytest

import quorvex

NOSPC = "No space left on device"


@pytest.fixture
def sample(fs):
    fs.mkdir("/d")
    h = fs.open("/d/f", "w")
    h.write(b"hello")
    h.close()
    return fs


def test_stat_fields_for_each_kind(sample):
    d, f = sample.stat("/d"), sample.stat("d\\f")
    assert (d.kind, d.size, d.id) == ("directory", 1, 1)
    assert (f.kind, f.size, f.id) == ("file", 5, 2)
    assert tuple(f) == (f.kind, f.size, f.id, f.mtime_ns, f.birth_ns)
    assert f.birth_ns > 0 and f.mtime_ns >= f.birth_ns
    assert sample.stat("/").kind == "directory"
    with pytest.raises(AttributeError):
        f.size = 1
    assert not any(type(f) is getattr(quorvex, name) for name in dir(quorvex))


@pytest.mark.parametrize("mode", ["", "r", "w", "rw"])
def test_stat_answers_whatever_holds_the_file_and_changes_nothing(sample, mode):
    h = sample.open("/d/f", mode)
    before = str(sample)
    assert sample.stat("/d/f").size == 5
    assert h.stat() == sample.stat("/d/f")
    assert str(sample) == before
    h.close()
    with pytest.raises(ValueError, match="Invalid file descriptor"):
        h.stat()


@pytest.mark.parametrize("path, message", [
    ("/missing", "Inode not found"),
    ("/d/f/x", "The specified INode is not a directory"),
])
def test_stat_and_set_times_failures(sample, path, message, raises_exactly):
    for call in (lambda: sample.stat(path), lambda: sample.set_times(path, 0)):
        with raises_exactly(ValueError, message):
            call()


# The clock is coarse (a timer tick), so every check starts from a time far in the past.
@pytest.mark.parametrize("change, stamped", [
    (lambda fs: fs.open("/d/f", "w").write(b"x"), "/d/f"),
    (lambda fs: fs.open("/d/f", "w").truncate(5), "/d/f"),
    (lambda fs: fs.open("/d/f", "w").truncate(9), "/d/f"),
    (lambda fs: fs.touch("/d/g"), "/d"),
    (lambda fs: fs.mkdir("/d/g"), "/d"),
    (lambda fs: fs.open("/d/g", "w"), "/d"),
    (lambda fs: fs.remove("/d/f", False), "/d"),
])
def test_each_change_stamps_its_node_alone(sample, change, stamped):
    paths = ("/", "/d", "/d/f")
    for path in paths:
        sample.set_times(path, -7)
    change(sample)
    for path in paths:
        if path == stamped:
            assert sample.stat(path).mtime_ns > 0
        elif path in ("/", "/d") or sample.listdir("/d")[0][:1] == ["f"]:
            assert sample.stat(path).mtime_ns == -7


def test_set_times_takes_any_signed_64_bit_time(sample):
    for value in (-(2**63), 0, 2**63 - 1):
        sample.set_times("/d/f", mtime_ns=value)
        assert sample.stat("/d/f").mtime_ns == value
    with pytest.raises(OverflowError):
        sample.set_times("/d/f", 2**63)
    with pytest.raises(TypeError, match="argument 'mtime_ns'"):
        sample.set_times("/d/f", 1.5)


def test_usage_counts_the_root_bytes_and_nodes(fs):
    assert fs.usage() == (0, 1)
    fs.mkdir("/d")
    h = fs.open("/d/f", "w")
    h.write(b"abcdef")
    h.truncate(4)
    assert fs.usage() == (4, 3)
    h.close()
    fs.remove("/d", True)
    assert fs.usage() == (0, 1)


def no_space(raises_exactly):
    return raises_exactly(ValueError, NOSPC)


@pytest.mark.parametrize("grow", [
    lambda fs, h: h.write(b"12345678"),
    lambda fs, h: h.truncate(8),
    lambda fs, h: (h.seek(4, quorvex.Whence.SEEK_SET), h.write(b"xyzw")),
])
def test_bytes_limit_refuses_growth_whole(sample, grow, raises_exactly):
    sample.set_limits(max_bytes=7)
    h = sample.open("/d/f", "rw")
    with no_space(raises_exactly) as caught:
        grow(sample, h)
    assert caught.value.kind == "NoSpaceLeft" and caught.value.errno == errno.ENOSPC
    h.seek(0, quorvex.Whence.SEEK_SET)
    assert h.read(99) == b"hello" and sample.usage() == (5, 3)
    h.seek(0, quorvex.Whence.SEEK_SET)
    assert h.write(b"HELLO!!") == 7  # up to the limit exactly


@pytest.mark.parametrize("create", [
    lambda fs: fs.mkdir("/e"),
    lambda fs: fs.touch("/e"),
    lambda fs: fs.open("/e", "w"),
])
def test_node_limit_refuses_every_creation(sample, create, raises_exactly):
    sample.set_limits(max_nodes=3)
    with no_space(raises_exactly):
        create(sample)
    assert sample.listdir("/") == ([], ["d"]) and sample.usage() == (5, 3)
    with raises_exactly(ValueError, "Resource already exists"):
        sample.mkdir("/d")  # a name that exists is reported as such


def test_limits_below_usage_are_refused_and_none_lifts_them(sample, raises_exactly):
    sample.set_limits(max_bytes=5, max_nodes=3)
    for kwargs in ({"max_bytes": 4}, {"max_nodes": 2}, {"max_bytes": 9, "max_nodes": 2}):
        with no_space(raises_exactly):
            sample.set_limits(**kwargs)
    with no_space(raises_exactly):
        sample.touch("/x")  # the old limits still hold
    sample.set_limits()
    sample.touch("/x")
    with pytest.raises(OverflowError):
        sample.set_limits(max_bytes=-1)


def test_threads_racing_at_the_node_limit_never_pass_it(fs):
    fs.set_limits(max_nodes=40)

    def create(t):
        for i in range(30):
            try:
                fs.touch(f"/t{t}_{i}")
            except ValueError:
                pass

    threads = [threading.Thread(target=create, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert fs.usage() == (0, 40) and len(fs.listdir("/")[0]) == 39
