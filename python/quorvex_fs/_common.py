"""What the layer's modules share: the path rules, the OSError made for a failure, the
queries that open nothing, the copy loop and its buffer size, and a file's size.

One set of path rules serves the helpers, the fsspec file system and tar archives, as
the core reads a path: "/" and "\\" both separate, empty names and "." are skipped,
and every path starts at the root.
"""

from __future__ import annotations

import errno
import os
from typing import Any, Callable, List, NoReturn, Optional, Tuple, Union

from quorvex import PyFileHandle, PyFs, Whence

from . import errors
from .errors import oserror

__all__ = [
    "PathLike", "Progress", "CHUNK", "fspath", "names", "components", "normpath", "join",
    "names_a_directory", "encodable", "name_error", "oserror", "fail", "kind", "listing",
    "open_handle", "remove_quietly", "file_size", "size_from_start", "pump",
]

PathLike = Union[str, "os.PathLike[str]"]
Progress = Callable[[str, int, int], Any]

CHUNK = 1 << 20  # copies move at most this much at a time

FILE, DIRECTORY = "file", "directory"
_SET, _END = Whence.SEEK_SET, Whence.SEEK_END
# A path ending like this names a directory; reaching a file through it is ENOTDIR.
_DIRECTORY_SUFFIXES = ("/", "\\", "/.", "\\.")


# -- paths ------------------------------------------------------------------------------


def fspath(path: Any) -> str:
    """A path given as str or os.PathLike, as str; bytes paths are refused."""
    if type(path) is str:
        return path
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError("quorvex paths are str or os.PathLike[str], not %s"
                        % type(path).__name__)
    return path


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


def normpath(path: PathLike) -> str:
    """The path in the form the helpers hand back: "/" and the names joined by "/"."""
    return "/" + "/".join(components(fspath(path)))


def join(directory: str, name: str) -> str:
    """`name` inside the normalised `directory`."""
    return directory + name if directory.endswith("/") else directory + "/" + name


def names_a_directory(path: str) -> bool:
    """Whether the last component of `path` can only name a directory ("x/", "x/.")."""
    return path.endswith(_DIRECTORY_SUFFIXES) and path.strip("/\\.") != ""


def encodable(name: str) -> bool:
    """Whether `name` can be stored: the file system keeps names as UTF-8, which a str
    with a lone surrogate (what os.fsdecode makes of bytes that are not UTF-8) is not."""
    if name.isascii():
        return True
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


# -- failures ---------------------------------------------------------------------------


def name_error(fs: PyFs, path: str, creating: bool) -> OSError:
    """The OSError for `path`, which holds a name the file system cannot store.

    No node can have such a name, so the walk along `path` stops at it as at any missing
    name: FileNotFoundError, or NotADirectoryError where a file stands before it. Only a
    call that would make the node under an existing directory is told that the name
    itself is refused: OSError with EINVAL, as a file system that keeps names as UTF-8
    only answers (ext4 with strict encoding)."""
    parts = path.replace("\\", "/").split("/")
    walked: List[str] = []
    code = errno.ENOENT
    for index, part in enumerate(parts):
        if encodable(part):
            if part == "..":
                del walked[-1:]
            elif part and part != ".":
                walked.append(part)
            continue
        try:
            found = fs.stat("/" + "/".join(walked))
        except ValueError as error:
            if errors.kind_of(error) == errors.NOT_A_DIRECTORY:
                code = errno.ENOTDIR
            break
        if found.kind != DIRECTORY:
            code = errno.ENOTDIR  # a file, used as a directory
        elif creating and not any(parts[index + 1:]):
            code = errno.EINVAL
        break
    return oserror(code, path)


def fail(error: ValueError, fs: PyFs, path: str, creating: bool = False) -> NoReturn:
    """Raises the OSError for the core's `error` about `path` (see :func:`name_error`
    for a name the file system cannot store)."""
    if isinstance(error, UnicodeEncodeError):
        raise name_error(fs, path, creating) from error
    errors.raise_os_error(error, path)


# -- the core, asked --------------------------------------------------------------------


def kind(fs: PyFs, path: str) -> Optional[str]:
    """The kind of node at `path` ('file', 'directory', 'symlink') or None if none is
    there; opens nothing."""
    if not encodable(path):
        return None
    try:
        result = fs.stat(path)
    except ValueError as error:
        if errors.kind_of(error) in (errors.NOT_FOUND, errors.NOT_A_DIRECTORY,
                                     errors.TOO_DEEP):
            return None
        raise
    if result.kind != DIRECTORY and names_a_directory(path):
        return None
    found: str = result.kind
    return found


def listing(fs: PyFs, path: str) -> Tuple[List[str], List[str]]:
    """(files, directories) of the directory `path`, as OSError on failure."""
    try:
        return fs.listdir(path)
    except ValueError as error:
        fail(error, fs, path)


def open_handle(fs: PyFs, path: str, mode: str, existing: bool) -> PyFileHandle:
    """A core handle on the file `path` (made when missing unless `existing`), as
    OSError on failure: a path naming a directory ("x/") never reaches a file."""
    try:
        handle = fs.open_existing(path, mode) if existing else fs.open(path, mode)
    except ValueError as error:
        fail(error, fs, path, creating=not existing)
    if names_a_directory(path):
        handle.close()
        raise oserror(errno.ENOTDIR, path)
    return handle


def remove_quietly(fs: PyFs, path: str, recurse: bool = False) -> None:
    """Removes `path` if it can; undoing a failed call must not hide its own failure."""
    try:
        fs.remove(path, recurse)
    except ValueError:
        pass


# -- bytes ------------------------------------------------------------------------------


def file_size(handle: PyFileHandle) -> int:
    """The length of the handle's file, with the handle's offset left where it was."""
    here = handle.tell()
    handle.seek(0, _END)
    size: int = handle.tell()
    handle.seek(here, _SET)
    return size


def size_from_start(handle: PyFileHandle) -> int:
    """The length of the handle's file, with the handle's offset left at the start."""
    handle.seek(0, _END)
    size: int = handle.tell()
    handle.seek(0, _SET)
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
            errors.raise_os_error(error, path)
        done += count
        if progress is not None:
            progress(path, done, size if size is not None else done)
    if done == 0 and progress is not None:
        progress(path, 0, 0)
