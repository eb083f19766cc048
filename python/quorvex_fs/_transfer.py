"""Copying trees between a PyFs and the host: a directory, or a tar archive.

Everything streams through one buffer of at most 1 MiB, whatever the file sizes. Each
function takes an optional ``progress(path, done, total)`` callback, called after every
piece of every file (and once for an empty file) with the file's path on the receiving
side, the bytes of it copied so far and its size. Each returns the count of files
copied.

The receiving side is only ever added to: a directory that exists already is merged
into, but a file that exists already is FileExistsError. When a transfer fails, what it
created is removed again, so the receiving side is as it was.
"""

from __future__ import annotations

import errno
import os
import stat
import tarfile
import time
from typing import IO, Any, Callable, List, Optional, Union

from quorvex import PyFileHandle, PyFs, Whence

from . import errors as _errors
from ._file import PathLike, fspath
from ._ops import _components, _join, _kind, normpath, walk

__all__ = ["import_host", "export_host", "import_tar", "export_tar", "Progress"]

Progress = Callable[[str, int, int], Any]
TarTarget = Union[str, "os.PathLike[str]", IO[bytes]]

_CHUNK = 1 << 20
# tarfile.open's overloads spell out every literal mode; the modes here are computed.
_open_archive: Callable[..., tarfile.TarFile] = tarfile.open
_SEPARATORS = ("/", "\\")


def _oserror(code: int, path: str) -> OSError:
    return OSError(code, os.strerror(code), path)


def _pump(read_into: Callable[[memoryview], Optional[int]], write: Callable[[bytes], Any],
          path: str, size: Optional[int], progress: Optional[Progress]) -> None:
    """Moves bytes from `read_into` to `write` through one bounded buffer."""
    buffer = memoryview(bytearray(_CHUNK if size is None else max(1, min(size, _CHUNK))))
    done = 0
    while True:
        count = read_into(buffer)
        if not count:
            break
        write(bytes(buffer[:count]))
        done += count
        if progress is not None:
            progress(path, done, size if size is not None else done)
    if done == 0 and progress is not None:
        progress(path, 0, 0)


def _writer_of(handle: PyFileHandle) -> Callable[[bytes], None]:
    def write(data: bytes) -> None:
        handle.write(data)
        handle.seek(len(data), Whence.SEEK_CUR)
    return write


class _Created:
    """The nodes a transfer made on the receiving side, removed again on failure."""

    def __init__(self, remove: Callable[[str], Any]) -> None:
        self.paths: List[str] = []
        self._remove = remove

    def undo(self) -> None:
        for path in reversed(self.paths):
            try:
                self._remove(path)
            except (OSError, ValueError):
                pass


def _core_mkdir(fs: PyFs, path: str, created: _Created) -> None:
    """Makes a directory of `fs` unless one is there; a file there is FileExistsError."""
    try:
        fs.mkdir(path)
    except ValueError as error:
        if error.args[0] != _errors.ALREADY_EXISTS or _kind(fs, path) != "directory":
            _errors.raise_os_error(error, path)
        return
    created.paths.append(path)


def _core_makedirs(fs: PyFs, path: str, created: _Created) -> None:
    current = ""
    for name in _components(path):
        current += "/" + name
        _core_mkdir(fs, current, created)


def _core_new_file(fs: PyFs, path: str, created: _Created) -> PyFileHandle:
    """A writing handle on a file made anew at `path`."""
    try:
        fs.touch(path)
    except ValueError as error:
        _errors.raise_os_error(error, path)
    created.paths.append(path)
    try:
        return fs.open_existing(path, "w")
    except ValueError as error:
        _errors.raise_os_error(error, path)


def _check_name(name: str, where: str) -> None:
    if "\\" in name:  # a separator inside a quorvex path
        raise OSError(errno.EINVAL, "a name with a backslash cannot be stored",
                      os.path.join(where, name))


# -- host directories ---------------------------------------------------------------


def import_host(fs: PyFs, host_dir: PathLike, dest: PathLike = "/", *,
                progress: Optional[Progress] = None) -> int:
    """Copies the host directory tree `host_dir` into `dest` of `fs` (made if missing);
    returns the count of files copied.

    Regular files and directories are copied; symbolic links, devices, pipes and
    sockets are skipped. A name holding a backslash (a separator here) is refused."""
    root = os.fspath(host_dir)
    if not isinstance(root, str):
        root = os.fsdecode(root)
    if not os.path.isdir(root):
        os.listdir(root)  # the host's own error for a missing path or a file
        raise _oserror(errno.ENOTDIR, root)
    top = normpath(dest)
    created = _Created(lambda path: fs.remove(path, True))
    count = 0
    try:
        _core_makedirs(fs, top, created)

        def fail(error: OSError) -> None:
            raise error

        for dirpath, dirnames, filenames in os.walk(root, onerror=fail):
            relative = os.path.relpath(dirpath, root)
            here = top if relative == "." else _join(top, "/".join(relative.split(os.sep)))
            kept = []
            for name in dirnames:
                if os.path.islink(os.path.join(dirpath, name)):
                    continue
                _check_name(name, dirpath)
                _core_mkdir(fs, _join(here, name), created)
                kept.append(name)
            dirnames[:] = kept
            for name in filenames:
                source = os.path.join(dirpath, name)
                if not stat.S_ISREG(os.lstat(source).st_mode):
                    continue
                _check_name(name, dirpath)
                target = _join(here, name)
                with open(source, "rb", buffering=0) as host_file:
                    size = os.fstat(host_file.fileno()).st_size
                    handle = _core_new_file(fs, target, created)
                    try:
                        _pump(host_file.readinto, _writer_of(handle), target, size, progress)
                    finally:
                        handle.close()
                count += 1
    except BaseException:
        created.undo()
        raise
    return count


def _directory_or_error(fs: PyFs, path: str) -> str:
    """The normalised path of a directory of `fs`, or the OSError of what stands there."""
    top = normpath(path)
    try:
        fs.listdir(path)
    except ValueError as error:
        _errors.raise_os_error(error, path)
    return top


def _open_for_reading(fs: PyFs, path: str) -> PyFileHandle:
    try:
        return fs.open_existing(path, "r")
    except ValueError as error:
        _errors.raise_os_error(error, path)


def _size_from_start(handle: PyFileHandle) -> int:
    handle.seek(0, Whence.SEEK_END)
    size: int = handle.tell()
    handle.seek(0, Whence.SEEK_SET)
    return size


def export_host(fs: PyFs, src: PathLike, host_dir: PathLike, *,
                progress: Optional[Progress] = None) -> int:
    """Copies the directory `src` of `fs` and everything below it into the host
    directory `host_dir` (made if missing); returns the count of files copied."""
    top = _directory_or_error(fs, fspath(src))
    root = os.fspath(host_dir)
    if not isinstance(root, str):
        root = os.fsdecode(root)

    def remove(path: str) -> None:
        if os.path.isdir(path) and not os.path.islink(path):
            os.rmdir(path)
        else:
            os.remove(path)

    created = _Created(remove)
    count = 0
    try:
        missing: List[str] = []
        parent = os.path.abspath(root)
        while not os.path.isdir(parent):
            missing.append(parent)
            parent = os.path.dirname(parent)
        for path in reversed(missing):
            os.mkdir(path)
            created.paths.append(path)
        for dirpath, dirnames, filenames in walk(fs, top):
            relative = dirpath[len(top):].strip("/")
            here = os.path.join(root, *relative.split("/")) if relative else root
            for name in dirnames:
                path = os.path.join(here, name)
                try:
                    os.mkdir(path)
                    created.paths.append(path)
                except FileExistsError:
                    if not os.path.isdir(path):
                        raise
            for name in filenames:
                source = _join(dirpath, name)
                target = os.path.join(here, name)
                handle = _open_for_reading(fs, source)
                try:
                    size = _size_from_start(handle)
                    with open(target, "xb", buffering=0) as host_file:
                        created.paths.append(target)
                        _pump(handle.readinto, host_file.write, target, size, progress)
                finally:
                    handle.close()
                count += 1
    except BaseException:
        created.undo()
        raise
    return count


# -- tar archives -------------------------------------------------------------------


def _member_parts(name: str) -> List[str]:
    """The components of a member's name below the destination; ".." is refused."""
    parts = [part for part in name.replace("\\", "/").split("/") if part not in ("", ".")]
    if ".." in parts:
        raise tarfile.TarError("member %r would leave the destination" % (name,))
    return parts


def _is_path(target: object) -> bool:
    return isinstance(target, (str, os.PathLike))


def import_tar(fs: PyFs, tar_path_or_fileobj: TarTarget, dest: PathLike = "/", *,
               progress: Optional[Progress] = None) -> int:
    """Copies the directories and regular files of a tar archive (a path, compressed or
    not, or a binary file object read as a stream) into `dest` of `fs` (made if
    missing); returns the count of files copied.

    Links, devices and other special members are skipped; a member whose name would
    leave `dest` through ".." is refused with tarfile.TarError."""
    top = normpath(dest)
    if _is_path(tar_path_or_fileobj):
        archive = _open_archive(os.fspath(tar_path_or_fileobj), "r:*")  # type: ignore[arg-type]
    else:
        archive = _open_archive(fileobj=tar_path_or_fileobj, mode="r|*")
    created = _Created(lambda path: fs.remove(path, True))
    count = 0
    try:
        with archive:
            _core_makedirs(fs, top, created)
            for member in archive:
                parts = _member_parts(member.name)
                if not (member.isdir() or member.isreg()) or not parts:
                    continue
                target = top
                for name in parts[:-1]:
                    target = _join(target, name)
                    _core_mkdir(fs, target, created)
                target = _join(target, parts[-1])
                if member.isdir():
                    _core_mkdir(fs, target, created)
                    continue
                source = archive.extractfile(member)
                assert source is not None
                handle = _core_new_file(fs, target, created)
                try:
                    _pump(source.readinto, _writer_of(handle), target,  # type: ignore[attr-defined]
                          member.size, progress)
                finally:
                    handle.close()
                count += 1
    except BaseException:
        created.undo()
        raise
    return count


_COMPRESSION = ((".tar.gz", "gz"), (".tgz", "gz"), (".tar.bz2", "bz2"), (".tbz2", "bz2"),
                (".tar.xz", "xz"), (".txz", "xz"))


class _Reader:
    """A file of `fs` as the read(n) that tarfile copies from, reporting progress."""

    def __init__(self, handle: PyFileHandle, path: str, size: int,
                 progress: Optional[Progress]) -> None:
        self._handle = handle
        self._path = path
        self._size = size
        self._done = 0
        self._progress = progress

    def read(self, size: int = -1) -> bytes:
        if size is None or size < 0:
            size = self._size - self._done
        buffer = bytearray(min(size, _CHUNK))
        count = self._handle.readinto(buffer)
        self._done += count
        if self._progress is not None and count:
            self._progress(self._path, self._done, self._size)
        return bytes(buffer[:count])


def export_tar(fs: PyFs, src: PathLike, tar_path_or_fileobj: TarTarget, *,
               progress: Optional[Progress] = None) -> int:
    """Writes the directory `src` of `fs` and everything below it as a tar archive;
    returns the count of files written.

    Member names are relative to `src`. A path ending in .tar.gz/.tgz, .tar.bz2/.tbz2 or
    .tar.xz/.txz is compressed to match; a file object gets a plain tar, written as a
    stream. A path that exists already is FileExistsError; one the call made is
    removed again if it fails."""
    top = _directory_or_error(fs, fspath(src))
    now = int(time.time())
    path: Optional[str] = None
    if _is_path(tar_path_or_fileobj):
        path = os.fspath(tar_path_or_fileobj)  # type: ignore[arg-type]
        if not isinstance(path, str):
            path = os.fsdecode(path)
        compression = next((kind for suffix, kind in _COMPRESSION if path.endswith(suffix)), "")
        sink: IO[bytes] = open(path, "xb")
        try:
            archive = _open_archive(fileobj=sink, mode="w:" + compression, copybufsize=_CHUNK)
        except BaseException:
            sink.close()
            os.remove(path)
            raise
    else:
        sink = tar_path_or_fileobj  # type: ignore[assignment]
        archive = _open_archive(fileobj=sink, mode="w|", copybufsize=_CHUNK)
    count = 0
    try:
        with archive:
            for dirpath, dirnames, filenames in walk(fs, top):
                relative = dirpath[len(top):].strip("/")
                for name in dirnames:
                    info = tarfile.TarInfo(relative + "/" + name if relative else name)
                    info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, now
                    archive.addfile(info)
                for name in filenames:
                    source = _join(dirpath, name)
                    handle = _open_for_reading(fs, source)
                    try:
                        info = tarfile.TarInfo(relative + "/" + name if relative else name)
                        info.size = _size_from_start(handle)
                        info.mode, info.mtime = 0o644, now
                        reader = _Reader(handle, info.name, info.size, progress)
                        archive.addfile(info, reader)
                        if info.size == 0 and progress is not None:
                            progress(info.name, 0, 0)
                    finally:
                        handle.close()
                    count += 1
    except BaseException:
        if path is not None:
            sink.close()
            try:
                os.remove(path)
            except OSError:
                pass
        raise
    if path is not None:
        sink.close()
    return count

