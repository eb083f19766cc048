"""Helpers shaped like os, os.path and shutil, over a PyFs.

Every helper takes the file system first and a path (str or os.PathLike) next. Paths
are absolute from the root whether or not they start with "/"; "/" and "\\" both
separate, "." and ".." are understood. Paths handed back (walk, glob, scandir, info)
are normalised: "/" and then the names, joined by "/".

The file system answers questions about a file only through a handle on it, so a query
of a file (exists, isfile, getsize, info, ...) holds it for the length of the call as a
reader with no rights would: a writer opening the file at that very moment is refused
with EBUSY, as it would be by any reader.
"""

from __future__ import annotations

import errno
import fnmatch
import os
import re
import shutil
import stat as stat_module
import time
from operator import index as _index
from typing import (Any, Callable, Dict, FrozenSet, Iterable, Iterator, List, Optional, Set,
                    Tuple, Union)

from quorvex import PyFileHandle, PyFs, Whence

from . import errors as _errors
from ._common import DIRECTORY as _DIRECTORY
from ._common import FILE as _FILE
from ._common import PathLike, fspath, normpath, pump, size_from_start
from ._common import components as _components
from ._common import encodable as _encodable
from ._common import fail as _fail
from ._common import join as _join
from ._common import kind as _kind
from ._common import listing as _listing
from ._common import name_error as _name_error
from ._common import names_a_directory as _names_a_directory
from ._common import open_handle as _open_core
from ._common import oserror as _oserror
from ._common import remove_quietly as _remove_quietly
from ._file import open

__all__ = [
    "normpath", "exists", "isfile", "isdir", "getsize", "info", "listdir", "scandir",
    "DirEntry", "walk", "glob", "makedirs", "remove", "rmdir", "rmtree", "copyfile",
    "copytree", "move", "read_bytes", "write_bytes", "read_text", "write_text",
    "stat", "rename", "replace", "unlink", "utime",
]


# -- os ---------------------------------------------------------------------------

# Permission bits shown by stat: the file system keeps none, so every node shows what a
# umask of 022 gives a new file or directory on Linux.
_MODE_BY_KIND = {
    "file": stat_module.S_IFREG | 0o644,
    "directory": stat_module.S_IFDIR | 0o755,
    "symlink": stat_module.S_IFLNK | 0o777,
}


def _core_stat(fs: PyFs, path: str) -> Any:
    """The core's stat of `path`, as OSError on failure; takes no file lock."""
    if not _encodable(path):
        raise _name_error(fs, path, False)
    try:
        result = fs.stat(path)
    except ValueError as error:
        _fail(error, fs, path)
    if result.kind != _DIRECTORY and _names_a_directory(path):
        raise _oserror(errno.ENOTDIR, path)
    return result


# PyPy's stat_result keeps the nanoseconds below the second in fields of their own and
# derives st_*_ns from them and the whole seconds; CPython's takes st_*_ns as they are.
_NS_BELOW_SECOND = hasattr(os.stat_result, "nsec_mtime")
_NS_FIELDS = (("nsec_atime", "nsec_mtime", "nsec_ctime") if _NS_BELOW_SECOND
              else ("st_atime_ns", "st_mtime_ns", "st_ctime_ns"))


def stat(fs: PyFs, path: PathLike) -> os.stat_result:
    """The node at `path` as os.stat shows it: ``st_mode`` (S_IFREG | 0o644 for a file,
    S_IFDIR | 0o755 for a directory), ``st_size`` (0 for a directory), ``st_ino`` (the
    node's id),
    ``st_nlink`` (1 for a file; 2 plus its subdirectories for a directory, as on
    Linux), ``st_dev``, ``st_uid`` and ``st_gid`` 0, and the modification time in
    ``st_mtime``/``st_mtime_ns``, which ``st_atime`` and ``st_ctime`` repeat (the file
    system keeps no other times). FileNotFoundError, NotADirectoryError as os.stat."""
    text = fspath(path)
    result = _core_stat(fs, text)
    links, size = 1, result.size
    if result.kind == _DIRECTORY:
        links, size = 2 + len(_listing(fs, text)[1]), 0
    ns = result.mtime_ns
    whole = ns // 1_000_000_000
    seconds = ns / 1e9
    times = dict.fromkeys(("st_atime", "st_mtime", "st_ctime"), seconds)
    times.update(dict.fromkeys(_NS_FIELDS, ns % 1_000_000_000 if _NS_BELOW_SECOND else ns))
    return os.stat_result((_MODE_BY_KIND[result.kind], result.id, 0, links, 0, 0,
                           size, whole, whole, whole), times)


def rename(fs: PyFs, src: PathLike, dst: PathLike) -> None:
    """Renames `src` to `dst` in one step, as os.rename does on Linux: an existing file
    `dst` is replaced, an existing empty directory too; open files keep their bytes.
    IsADirectoryError (a file onto a directory), NotADirectoryError (a directory onto
    a file), OSError with ENOTEMPTY, EINVAL (a directory into its own subtree) or
    EBUSY (the root)."""
    source, target = fspath(src), fspath(dst)
    for text in (source, target):
        if not _encodable(text):
            raise _name_error(fs, text, text is target)
    try:
        fs.rename(source, target)
    except ValueError as error:
        _errors.raise_os_error(error, source, target)


def replace(fs: PyFs, src: PathLike, dst: PathLike) -> None:
    """As os.replace: on Linux the same as :func:`rename`."""
    rename(fs, src, dst)


def unlink(fs: PyFs, path: PathLike) -> None:
    """As os.unlink: the same as :func:`remove`."""
    remove(fs, path)


def utime(fs: PyFs, path: PathLike, times: Optional[Tuple[float, float]] = None, *,
          ns: Optional[Tuple[int, int]] = None) -> None:
    """Sets the modification time of `path`, as os.utime: ``ns=(atime_ns, mtime_ns)``,
    ``times=(atime, mtime)`` in seconds, or neither for now. The access time is not
    kept."""
    text = fspath(path)
    if times is not None and ns is not None:
        raise ValueError("utime: you may specify either 'times' or 'ns' but not both")
    if ns is not None:
        if not isinstance(ns, tuple) or len(ns) != 2:
            raise TypeError("utime: 'ns' must be a tuple of two ints")
        mtime_ns = _index(ns[1])
    elif times is not None:
        if not isinstance(times, tuple) or len(times) != 2:
            raise TypeError("utime: 'times' must be either a tuple of two ints or None")
        mtime_ns = round(times[1] * 1_000_000_000)
    else:
        mtime_ns = time.time_ns()
    _core_stat(fs, text)
    try:
        fs.set_times(text, mtime_ns)
    except ValueError as error:
        _fail(error, fs, text)


# -- os.path ------------------------------------------------------------------------


def exists(fs: PyFs, path: PathLike) -> bool:
    """Whether `path` names a file or a directory."""
    return _kind(fs, fspath(path)) is not None


def isfile(fs: PyFs, path: PathLike) -> bool:
    """Whether `path` names a file."""
    return _kind(fs, fspath(path)) == _FILE


def isdir(fs: PyFs, path: PathLike) -> bool:
    """Whether `path` names a directory."""
    return _kind(fs, fspath(path)) == _DIRECTORY


def getsize(fs: PyFs, path: PathLike) -> int:
    """The length of a file in bytes (also while it is being written); 0 for a
    directory. FileNotFoundError for a missing path."""
    return info(fs, path)["size"]  # type: ignore[no-any-return]


def info(fs: PyFs, path: PathLike) -> Dict[str, Any]:
    """A dict describing the node: ``name`` (the normalised path), ``type`` ('file' or
    'directory'), ``size`` (bytes; 0 for a directory), and ``mtime`` and ``created``
    (seconds since the epoch, as floats).

    Errors as :func:`getsize`."""
    text = fspath(path)
    result = _core_stat(fs, text)
    size = 0 if result.kind == _DIRECTORY else result.size
    return {"name": normpath(text), "type": result.kind, "size": size,
            "mtime": result.mtime_ns / 1e9, "created": result.birth_ns / 1e9}


def _missing(fs: PyFs, path: str) -> OSError:
    """FileNotFoundError, or NotADirectoryError where a file stands in the path."""
    if not _encodable(path):
        return _name_error(fs, path, False)
    try:
        fs.stat(path)
    except ValueError as error:
        mapped = _errors.os_error(error, path)
        if isinstance(mapped, OSError):
            return mapped
    if _names_a_directory(path):
        return _oserror(errno.ENOTDIR, path)
    return _oserror(errno.ENOENT, path)


# -- listing ------------------------------------------------------------------------


def listdir(fs: PyFs, path: PathLike = "/") -> List[str]:
    """The names in a directory: its subdirectories, then its files, each in creation
    order. NotADirectoryError for a file, FileNotFoundError for a missing path."""
    files, directories = _listing(fs, fspath(path))
    return directories + files


class DirEntry:
    """One entry of :func:`scandir`, like os.DirEntry: ``name``, ``path``, ``is_dir()``,
    ``is_file()``, ``is_symlink()`` (always False) and ``stat()``."""

    __slots__ = ("_fs", "name", "path", "_is_dir")

    def __init__(self, fs: PyFs, directory: str, name: str, is_dir: bool) -> None:
        self._fs = fs
        self.name = name
        self.path = _join(directory, name)
        self._is_dir = is_dir

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return self._is_dir

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return not self._is_dir

    def is_symlink(self) -> bool:
        return False

    def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        """The entry's :func:`stat`."""
        return stat(self._fs, self.path)

    def __fspath__(self) -> str:
        return self.path

    def __repr__(self) -> str:
        return "<DirEntry %r>" % (self.name,)


class _ScandirIterator:
    """The entries of one listing; usable in a with statement, like os.scandir's."""

    def __init__(self, entries: List[DirEntry]) -> None:
        self._entries = iter(entries)

    def __iter__(self) -> _ScandirIterator:
        return self

    def __next__(self) -> DirEntry:
        return next(self._entries)

    def close(self) -> None:
        self._entries = iter(())

    def __enter__(self) -> _ScandirIterator:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def scandir(fs: PyFs, path: PathLike = "/") -> _ScandirIterator:
    """The entries of a directory as :class:`DirEntry` objects, subdirectories first.
    The listing is taken at once; errors as :func:`listdir`."""
    text = fspath(path)
    directory = normpath(text)
    files, directories = _listing(fs, text)
    entries = [DirEntry(fs, directory, name, True) for name in directories]
    entries += [DirEntry(fs, directory, name, False) for name in files]
    return _ScandirIterator(entries)


def walk(fs: PyFs, top: PathLike = "/", topdown: bool = True,
         onerror: Optional[Callable[[OSError], Any]] = None
         ) -> Iterator[Tuple[str, List[str], List[str]]]:
    """Like os.walk: (dirpath, dirnames, filenames) for `top` and every directory below
    it. With topdown, removing names from dirnames prunes the walk. Errors in listing
    go to `onerror` (ignored without one); a `top` that is not a directory yields
    nothing."""
    text = fspath(top)
    if not _encodable(text):  # the name is not there, even if ".." would drop it
        if onerror is not None:
            onerror(_name_error(fs, text, False))
        return
    stack: List[Union[str, Tuple[str, List[str], List[str]]]] = [normpath(text)]
    while stack:
        item = stack.pop()
        if isinstance(item, tuple):
            yield item
            continue
        try:
            files, directories = _listing(fs, item)
        except OSError as error:
            if onerror is not None:
                onerror(error)
            continue
        if topdown:
            yield item, directories, files
            stack.extend(_join(item, name) for name in reversed(directories))
        else:
            stack.append((item, directories, files))
            stack.extend(_join(item, name) for name in reversed(directories))


def glob(fs: PyFs, pattern: PathLike) -> List[str]:
    """The normalised paths that match `pattern`, in walk order.

    Components use fnmatch's wildcards (``*``, ``?``, ``[...]``), matched case-sensitively
    against whole names; a component ``**`` matches any number of directories, none
    included. A pattern ending in a separator matches directories only. Names starting
    with a dot match like any other. The same paths as glob.glob(pattern,
    recursive=True, include_hidden=True) on disk, each once."""
    text = fspath(pattern)
    if not _encodable(text):
        return []  # no name stored here can match a name that cannot be stored
    parts: List[str] = []
    for part in _components(text):
        if part != "**" or not parts or parts[-1] != "**":  # "**/**" matches as "**" does
            parts.append(part)
    return _Glob(fs, parts, text.endswith(("/", "\\"))).run()


_MAGIC = re.compile(r"[*?[]")
_RECURSIVE = None  # the matcher of a "**" component


class _Glob:
    """One glob, as a walk that carries into each directory the set of pattern positions
    still to be matched below it: every directory is visited at most once, whatever
    the number of "**" components, so the cost stays linear in the tree's size times
    the pattern's length."""

    def __init__(self, fs: PyFs, parts: List[str], directories_only: bool) -> None:
        self.fs = fs
        self.count = len(parts)
        self.directories_only = directories_only
        # Per component: None for "**", a str for a plain name, else a regex's match.
        self.matchers: List[Any] = [
            _RECURSIVE if part == "**" else
            (re.compile(fnmatch.translate(part)).match if _MAGIC.search(part) else part)
            for part in parts]
        self.results: List[str] = []

    def closure(self, positions: Set[int]) -> FrozenSet[int]:
        """`positions` with, after each "**", the one behind it: "**" may match none."""
        matchers = self.matchers
        more = {index + 1 for index in positions
                if index < self.count and matchers[index] is _RECURSIVE}
        return frozenset(positions | more)

    def run(self) -> List[str]:
        stack = [("/", self.closure({0}))]
        while stack:
            directory, positions = stack.pop()
            children = self.visit(directory, positions)
            stack.extend(reversed(children))
        return self.results

    def visit(self, directory: str, positions: FrozenSet[int]
              ) -> List[Tuple[str, FrozenSet[int]]]:
        """Adds what matches in `directory`; returns its subdirectories still to visit."""
        if self.count in positions:
            self.results.append(directory)
        pending = sorted(index for index in positions if index < self.count)
        if not pending:
            return []
        matchers = self.matchers
        if all(type(matchers[index]) is str for index in pending):
            names = dict.fromkeys(matchers[index] for index in pending)
            files, directories = self.probe(directory, names)
        else:
            try:
                files, directories = self.fs.listdir(directory)
            except ValueError:
                return []
        children = []
        for name in directories:
            below = self.advance(pending, name)
            if below:
                children.append((_join(directory, name), self.closure(below)))
        if not self.directories_only:
            last = self.count - 1
            for name in files:
                if any(index == last and self.matches(index, name) for index in pending):
                    self.results.append(_join(directory, name))
        return children

    def probe(self, directory: str, names: Iterable[str]) -> Tuple[List[str], List[str]]:
        """(files, directories) among `names` in `directory`, found without listing it."""
        files: List[str] = []
        directories: List[str] = []
        for name in names:
            kind = _kind(self.fs, _join(directory, name))
            if kind == _DIRECTORY:
                directories.append(name)
            elif kind == _FILE:
                files.append(name)
        return files, directories

    def matches(self, index: int, name: str) -> bool:
        matcher = self.matchers[index]
        if matcher is _RECURSIVE:
            return True
        if type(matcher) is str:
            return matcher == name
        return matcher(name) is not None

    def advance(self, pending: List[int], name: str) -> Set[int]:
        """The positions to match below a directory `name` reached with `pending`."""
        below = set()
        for index in pending:
            if self.matchers[index] is _RECURSIVE:
                below.add(index)  # "**" goes on matching deeper
            elif self.matches(index, name):
                below.add(index + 1)
        return below


# -- creation and removal -----------------------------------------------------------


def makedirs(fs: PyFs, path: PathLike, exist_ok: bool = False) -> None:
    """Makes a directory and every missing parent. An existing directory is
    FileExistsError unless `exist_ok`; a file anywhere on the way is FileExistsError
    (last component) or NotADirectoryError. On failure the directories made by this
    call are removed again."""
    text = fspath(path)
    parts = _components(text)
    created: List[str] = []
    current = ""
    try:
        for index, name in enumerate(parts):
            current += "/" + name
            last = index == len(parts) - 1
            try:
                fs.mkdir(current)
                created.append(current)
                continue
            except ValueError as error:
                if _errors.kind_of(error) != _errors.ALREADY_EXISTS:
                    _fail(error, fs, current, creating=True)
            kind = _kind(fs, current)
            if kind == _FILE:
                raise _oserror(errno.EEXIST if last else errno.ENOTDIR, current)
            if last and not exist_ok:
                raise _oserror(errno.EEXIST, text)
        if not parts and not exist_ok:
            raise _oserror(errno.EEXIST, text)
    except BaseException:
        for directory in reversed(created):
            try:
                fs.remove(directory, False)
            except ValueError:
                pass
        raise


def remove(fs: PyFs, path: PathLike) -> None:
    """Removes a file. IsADirectoryError for a directory, FileNotFoundError for a
    missing path, OSError with EBUSY while a handle holds the file."""
    text = fspath(path)
    kind = _kind(fs, text)
    if kind is None:
        raise _missing(fs, text)
    if kind == _DIRECTORY:
        raise _oserror(errno.EISDIR, text)
    try:
        fs.remove(text, False)
    except ValueError as error:
        _fail(error, fs, text)


def rmdir(fs: PyFs, path: PathLike) -> None:
    """Removes an empty directory. OSError with ENOTEMPTY for one with entries,
    NotADirectoryError for a file; the root cannot be removed (EBUSY)."""
    text = fspath(path)
    files, directories = _listing(fs, text)
    if not _components(text):
        raise _oserror(errno.EBUSY, text)
    if files or directories:
        raise _oserror(errno.ENOTEMPTY, text)
    try:
        fs.remove(text, False)
    except ValueError as error:
        _fail(error, fs, text)


def _held_file(fs: PyFs, top: str) -> Optional[str]:
    """A file below `top` that some handle holds, or None if every one is free."""
    for dirpath, _, filenames in walk(fs, top):
        for name in filenames:
            path = _join(dirpath, name)
            try:
                fs.open_existing(path, "w").close()
            except ValueError as error:
                if _errors.kind_of(error) == _errors.IN_USE:
                    return path
    return None


def rmtree(fs: PyFs, path: PathLike, ignore_errors: bool = False) -> None:
    """Removes a directory and everything below it (the root: everything in it).

    Every file is checked first: if a handle holds one, OSError with EBUSY names it and
    nothing is removed. (A file opened by another thread after that check can still
    stop the removal part-way.) NotADirectoryError for a file."""
    text = fspath(path)
    try:
        files, directories = _listing(fs, text)
        held = _held_file(fs, normpath(text))
        if held is not None:
            raise _oserror(errno.EBUSY, held)
        if _components(text):
            targets = [text]
        else:
            targets = ["/" + name for name in directories + files]
        for target in targets:
            try:
                fs.remove(target, True)
            except ValueError as error:
                _errors.raise_os_error(error, target)
    except OSError:
        if not ignore_errors:
            raise


# -- copying and moving -------------------------------------------------------------


def _copy_handle(source: PyFileHandle, target: PyFileHandle, size: int,
                 target_path: str) -> None:
    """Copies the bytes of `source`, from its offset on, to `target`'s offset."""
    pump(source.readinto, target.write_from, target_path, size, None)


def copyfile(fs: PyFs, src: PathLike, dst: PathLike) -> str:
    """Copies the bytes of file `src` to file `dst`, creating or replacing it; returns
    `dst`. IsADirectoryError if either is a directory, shutil.SameFileError if both
    name one file, OSError with EBUSY if `dst` is held. A `dst` made by the call is
    removed again if the copy fails."""
    source_path, target_path = fspath(src), fspath(dst)
    if normpath(source_path) == normpath(target_path):
        raise shutil.SameFileError("%r and %r are the same file" % (source_path, target_path))
    source = _open_core(fs, source_path, "r", existing=True)
    try:
        existed = _kind(fs, target_path) is not None
        target = _open_core(fs, target_path, "w", existing=False)
        try:
            target.truncate(0)
            _copy_handle(source, target, size_from_start(source), target_path)
        except BaseException:
            target.close()
            if not existed:
                _remove_quietly(fs, target_path)
            raise
        target.close()
    finally:
        source.close()
    return target_path


def copytree(fs: PyFs, src: PathLike, dst: PathLike, dirs_exist_ok: bool = False) -> str:
    """Copies the directory `src` and everything below it to `dst`; returns `dst`.

    `dst` must not exist unless `dirs_exist_ok` (then files in it are replaced). A
    `dst` inside `src` is refused (shutil.Error). A failed copy changes nothing: what
    the call created is removed again and every file it replaced gets its bytes back.
    The tree is copied as it was when the call began."""
    source, target = normpath(src), normpath(dst)
    if _kind(fs, source) != _DIRECTORY:
        _listing(fs, fspath(src))  # the error of a missing path or a file
    if target == source or target.startswith(_join(source, "")):
        raise shutil.Error("Cannot copy a directory, %r, into itself, %r." % (source, target))
    # Listed first: a target above the source must not see its own copies as source.
    tree = list(walk(fs, source))
    created: List[str] = []
    replaced: Dict[str, Tuple[PyFileHandle, bytes]] = {}
    try:
        for dirpath, _, filenames in tree:
            here = target + dirpath[len(source):]
            try:
                fs.mkdir(here)
                created.append(here)
            except ValueError as error:
                if _errors.kind_of(error) != _errors.ALREADY_EXISTS or not dirs_exist_ok \
                        or _kind(fs, here) != _DIRECTORY:
                    _fail(error, fs, here, creating=True)
            for name in filenames:
                _copy_into_tree(fs, _join(dirpath, name), _join(here, name), created, replaced)
    except BaseException:
        for handle, original in replaced.values():
            _restore(handle, original)
        # Removing what this call made takes, with each new directory, all that went
        # into it.
        for path in reversed(created):
            _remove_quietly(fs, path, recurse=True)
        raise
    finally:
        for handle, _ in replaced.values():
            handle.close()
    return target


def _copy_into_tree(fs: PyFs, source_path: str, target_path: str, created: List[str],
                    replaced: Dict[str, Tuple[PyFileHandle, bytes]]) -> None:
    """Copies one file of a tree. A file at `target_path` is replaced only after its
    bytes are kept in `replaced`, with a handle that holds it until the whole copy is
    done, so that nobody changes it before it is restored or the copy completes."""
    try:
        target = fs.open_existing(target_path, "rw")
    except ValueError as error:
        if _errors.kind_of(error) != _errors.NOT_FOUND:
            _fail(error, fs, target_path, creating=True)
        target = _open_core(fs, target_path, "w", existing=False)
        created.append(target_path)
    else:
        try:
            original = bytearray(size_from_start(target))
            target.readinto(original)
        except BaseException:
            target.close()
            raise
        replaced[target_path] = (target, bytes(original))
    try:
        target.truncate(0)
        target.seek(0, Whence.SEEK_SET)
        if source_path in replaced:  # replaced by this copy: its bytes as they were
            target.write(replaced[source_path][1])
        else:
            source = _open_core(fs, source_path, "r", existing=True)
            try:
                _copy_handle(source, target, size_from_start(source), target_path)
            finally:
                source.close()
    finally:
        if target_path not in replaced:
            target.close()


def _restore(handle: PyFileHandle, original: bytes) -> None:
    """Puts a replaced file's bytes back; a failure here leaves the rest to restore."""
    try:
        handle.seek(0, Whence.SEEK_SET)
        handle.write(original)
        handle.truncate(len(original))
    except Exception:  # noqa: BLE001 - the copy's own failure is the one raised
        pass


def move(fs: PyFs, src: PathLike, dst: PathLike) -> str:
    """Moves a file or directory, as shutil.move does; returns the new path.

    A move is a :func:`rename`: one step, nothing copied, the moved nodes keep their
    ids, and open files keep working. An existing directory `dst` receives `src`
    inside it (shutil.Error if that name is taken); an existing file `dst` is
    replaced; a directory moved into itself is shutil.Error."""
    source = fspath(src)
    target = fspath(dst)
    if _kind(fs, source) is None:
        raise _missing(fs, source)
    if _kind(fs, target) == _DIRECTORY:
        parts = _components(source)
        if not parts:
            raise shutil.Error("Cannot move the root directory")
        target = _join(normpath(target), parts[-1])
        if _kind(fs, target) is not None:
            raise shutil.Error("Destination path '%s' already exists" % target)
    try:
        rename(fs, source, target)
    except OSError as error:
        cause = error.__cause__
        if cause is not None and _errors.kind_of(cause) == _errors.INVALID_MOVE:
            raise shutil.Error("Cannot move a directory '%s' into itself '%s'."
                               % (source, target)) from cause
        raise
    return target


# -- whole files --------------------------------------------------------------------


def read_bytes(fs: PyFs, path: PathLike) -> bytes:
    """The whole content of a file."""
    text = fspath(path)
    handle = _open_core(fs, text, "r", existing=True)
    try:
        data = bytearray(size_from_start(handle))
        handle.readinto(data)
    finally:
        handle.close()
    return bytes(data)


def write_bytes(fs: PyFs, path: PathLike, data: Any) -> int:
    """Replaces the content of a file (created when missing) by the bytes-like `data`;
    returns the count written."""
    text = fspath(path)
    payload = data if type(data) is bytes else bytes(memoryview(data))
    handle = _open_core(fs, text, "w", existing=False)
    try:
        handle.truncate(0)
        count: int = handle.write(payload)
    except ValueError as error:
        _fail(error, fs, text)
    finally:
        handle.close()
    return count


def read_text(fs: PyFs, path: PathLike, encoding: Optional[str] = None,
              errors: Optional[str] = None, newline: Optional[str] = None) -> str:
    """The whole content of a file as text, decoded as the builtin open would."""
    with open(fs, path, "r", encoding=encoding, errors=errors, newline=newline) as file:
        return file.read()


def write_text(fs: PyFs, path: PathLike, data: str, encoding: Optional[str] = None,
               errors: Optional[str] = None, newline: Optional[str] = None) -> int:
    """Replaces the content of a file (created when missing) by `data`, encoded as the
    builtin open would; returns the count of characters written."""
    with open(fs, path, "w", encoding=encoding, errors=errors, newline=newline) as file:
        return file.write(data)
