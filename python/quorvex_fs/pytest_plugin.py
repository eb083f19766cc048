"""pytest fixtures over quorvex, loaded through the ``pytest11`` entry point.

``quorvex_fs`` gives each test a new, empty ``quorvex.PyFs``; the file system and
everything in it are gone when the test ends. Reach the pure-Python layer by
passing it to the ``quorvex_fs`` functions, and fsspec through
``fsspec.filesystem("quorvex", fs=quorvex_fs)``::

    import quorvex_fs as qfs

    def test_report(quorvex_fs):
        qfs.write_text(quorvex_fs, "/report.txt", "ok")
        assert qfs.read_text(quorvex_fs, "/report.txt") == "ok"

The marker ``quorvex_limits`` bounds that file system, so that a test can see how
code copes with a full disk (OSError with ENOSPC from the layer)::

    @pytest.mark.quorvex_limits(max_bytes=1024, max_nodes=10)
    def test_full_disk(quorvex_fs): ...
"""

from __future__ import annotations

from typing import Any

import pytest

import quorvex

_LIMITS = "quorvex_limits"


def pytest_configure(config: Any) -> None:
    config.addinivalue_line(
        "markers", _LIMITS + "(max_bytes=None, max_nodes=None): the limits of the "
        "quorvex_fs fixture's file system (bytes of file contents; nodes, the root included)")


@pytest.fixture
def quorvex_fs(request: Any) -> quorvex.PyFs:
    """A new, empty in-memory file system for one test, with the limits of the test's
    ``quorvex_limits`` marker if it has one."""
    fs = quorvex.PyFs()
    marker = request.node.get_closest_marker(_LIMITS)
    if marker is not None:
        if marker.args:
            raise TypeError(_LIMITS + " takes keyword arguments only: max_bytes, max_nodes")
        fs.set_limits(**marker.kwargs)
    return fs
