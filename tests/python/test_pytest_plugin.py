"""The quorvex_fs fixture of the pytest plugin."""
import pytest

import quorvex


@pytest.mark.parametrize("run", range(2))
def test_each_test_gets_a_new_empty_fs(quorvex_fs, run):
    assert isinstance(quorvex_fs, quorvex.PyFs)
    assert quorvex_fs.listdir("/") == ([], [])
    quorvex_fs.mkdir("/left-behind")  # seen by the next run if the fs were shared
