"""pytest fixtures over quorvex, loaded through the ``pytest11`` entry point.

``quorvex_fs`` gives each test a new, empty ``quorvex.PyFs``; the file system and
everything in it are gone when the test ends. Reach the pure-Python layer by
passing it to the ``quorvex_fs`` functions, and fsspec through
``fsspec.filesystem("quorvex", fs=quorvex_fs)``::

    import quorvex_fs as qfs

    def test_report(quorvex_fs):
        qfs.write_text(quorvex_fs, "/report.txt", "ok")
        assert qfs.read_text(quorvex_fs, "/report.txt") == "ok"
"""

from __future__ import annotations

import pytest

import quorvex


@pytest.fixture
def quorvex_fs() -> quorvex.PyFs:
    """A new, empty in-memory file system for one test."""
    return quorvex.PyFs()
