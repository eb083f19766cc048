"""What the layer's modules share: the path rules, the copy loop and its buffer size, a
file's size, and the OSError made from an errno."""

from __future__ import annotations

import os
from typing import Any, Callable, List, Optional

from quorvex import PyFileHandle, Whence

from .errors import raise_os_error

Progress = Callable[[str, int, int], Any]

CHUNK = 1 << 20  # copies move at most this much at a time


def names(path: str) -> List[str]:
    """The names along `path` as written: "/" and "\\" both separate, and empty names and
    "." are left out; ".." stays for the caller to resolve or refuse."""
    return [part for part in path.replace("\\", "/").split("/") if part and part != "."]


def components(path: str) -> List[str]:
    """The names of the node `path` reaches from the root, each ".." dropping the name
    before it (at the root it stays at the root)."""
    parts: List[str] = []
    for part in names(path):
        if part == "..":
            del parts[-1:]
        else:
            parts.append(part)
    return parts


def oserror(code: int, path: Optional[str], path2: Optional[str] = None,
            text: Optional[str] = None) -> OSError:
    """The OSError subclass of `code`, as os raises it for `path` (and `path2`)."""
    strerror = text or os.strerror(code)
    if path2 is None:
        return OSError(code, strerror, path)
    return OSError(code, strerror, path, None, path2)


def size_from_start(handle: PyFileHandle) -> int:
    """The length of the handle's file, with the handle's offset left at the start."""
    handle.seek(0, Whence.SEEK_END)
    size: int = handle.tell()
    handle.seek(0, Whence.SEEK_SET)
    return size


def pump(read_into: Callable[[memoryview], Optional[int]], write: Callable[[memoryview], Any],
         path: str, size: Optional[int], progress: Optional[Progress]) -> None:
    """Moves bytes from `read_into` to `write` (a host file's write, or a handle's
    write_from, which copies once and moves the offset) through one bounded buffer,
    until `read_into` finds nothing more; `progress(path, done, total)` after each
    piece, and once with zeros for an empty file."""
    buffer = memoryview(bytearray(CHUNK if size is None else max(1, min(size, CHUNK))))
    done = 0
    while True:
        count = read_into(buffer)
        if not count:
            break
        try:
            write(buffer[:count])
        except ValueError as error:  # the core's, when `write` is a handle's
            raise_os_error(error, path)
        done += count
        if progress is not None:
            progress(path, done, size if size is not None else done)
    if done == 0 and progress is not None:
        progress(path, 0, 0)
