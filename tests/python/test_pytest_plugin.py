"""The quorvex_fs fixture of the pytest plugin."""
import pytest

import quorvex


@pytest.mark.parametrize("run", range(2))
def test_each_test_gets_a_new_empty_fs(quorvex_fs, run):
    assert isinstance(quorvex_fs, quorvex.PyFs)
    assert quorvex_fs.listdir("/") == ([], [])
    quorvex_fs.mkdir("/left-behind")  # seen by the next run if the fs were shared


@pytest.mark.quorvex_limits(max_bytes=8, max_nodes=3)
def test_the_limits_marker_bounds_the_fixture_and_the_layer_says_enospc(quorvex_fs):
    import errno

    import quorvex_fs as qfs

    qfs.write_bytes(quorvex_fs, "/a", b"12345678")
    for call in (lambda: qfs.write_bytes(quorvex_fs, "/a", b"123456789"),
                 lambda: qfs.makedirs(quorvex_fs, "/d/e")):
        with pytest.raises(OSError) as raised:
            call()
        assert raised.value.errno == errno.ENOSPC
