"""Python's own file semantics over a quorvex file system.

``quorvex_fs`` adds, over a :class:`quorvex.PyFs`, what Python code expects of a file
system: ``open`` returning the standard io objects, helpers shaped like ``os``,
``os.path`` and ``shutil``, OSError subclasses for failures, and copies of whole trees
to and from host directories and tar archives. Every function takes the file system
first::

    import quorvex, quorvex_fs

    fs = quorvex.PyFs()
    quorvex_fs.makedirs(fs, "/data/raw", exist_ok=True)
    with quorvex_fs.open(fs, "/data/raw/notes.txt", "w", encoding="utf-8") as f:
        f.write("hello\\n")
    quorvex_fs.read_text(fs, "/data/raw/notes.txt", encoding="utf-8")   # 'hello\\n'

Nothing here writes to standard output.
"""

from __future__ import annotations

from . import errors
from ._common import fspath
from ._file import FileIO, open
from ._ops import (DirEntry, copyfile, copytree, exists, getsize, glob, info, isdir, isfile,
                   listdir, makedirs, move, normpath, read_bytes, read_text, remove, rename,
                   replace, rmdir, rmtree, scandir, stat, unlink, utime, walk, write_bytes,
                   write_text)
from ._transfer import Progress, export_host, export_tar, import_host, import_tar

__all__ = [
    "open", "FileIO", "fspath", "normpath", "errors",
    "stat", "rename", "replace", "unlink", "utime",
    "exists", "isfile", "isdir", "getsize", "info", "listdir", "scandir", "DirEntry", "walk",
    "glob", "makedirs", "remove", "rmdir", "rmtree", "copyfile", "copytree", "move",
    "read_bytes", "write_bytes", "read_text", "write_text",
    "import_host", "export_host", "import_tar", "export_tar", "Progress",
]
