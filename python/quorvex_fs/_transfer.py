"""Copying trees between a PyFs and the host: a directory, or a tar archive.

Everything streams through one buffer of at most 1 MiB, whatever the file sizes. Each
function takes an optional ``progress(path, done, total)`` callback, called after every
piece of every file (and once for an empty file) with the file's path on the receiving
side, the bytes of it copied so far and its size. Each returns the count of files
copied.

The receiving side is only ever added to: a directory that exists already is merged
into, but a file that exists already is FileExistsError. When a transfer fails, what it
created is removed again, so the receiving side is as it was.

Below the host directory named by the caller no symbolic link is ever followed: the
tree is walked by directory descriptors, each name opened relative to its directory
with O_NOFOLLOW, and what was opened is checked with fstat. A name swapped for a link,
a pipe or a device while a transfer runs is skipped on import and refused on export;
it never leads outside the tree, and a pipe never blocks.
"""

from __future__ import annotations

import errno
import os
import stat
import tarfile
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from quorvex import PyFileHandle, PyFs

from . import errors as _errors
from ._common import CHUNK as _CHUNK
from ._common import (PathLike, Progress, fail, fspath, listing, normpath, open_handle, oserror,
                      pump, remove_quietly, size_from_start)
from ._common import names as _names
from ._common import components as _components
from ._common import join as _join
from ._common import kind as _kind
from ._ops import walk

__all__ = ["import_host", "export_host", "import_tar", "export_tar", "Progress"]

TarTarget = Union[str, "os.PathLike[str]", IO[bytes]]

# tarfile.open's overloads spell out every literal mode; the modes here are computed.
_open_archive: Callable[..., tarfile.TarFile] = tarfile.open

# Flags that some hosts lack are 0 there.
_NOFOLLOW: int = getattr(os, "O_NOFOLLOW", 0)
_DIRECTORY: int = getattr(os, "O_DIRECTORY", 0)
_OPEN_ANY: int = (getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0)
                  | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_BINARY", 0))
_READ_FILE = os.O_RDONLY | _NOFOLLOW | _OPEN_ANY
_CREATE_FILE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _OPEN_ANY
_OPEN_DIRECTORY = os.O_RDONLY | _DIRECTORY | _NOFOLLOW | _OPEN_ANY
# What os.open says of a link with O_NOFOLLOW (EMLINK on the BSDs), and of a socket.
_NOT_OPENED = (errno.ELOOP, errno.EMLINK, errno.ENXIO)
# What opening a directory that is not one (a link included) says.
_NOT_A_DIRECTORY = (errno.ENOTDIR, errno.ELOOP, errno.EMLINK)
# Without descriptors relative to a directory (Windows), names are joined to paths and
# links are told apart with lstat instead.
_BY_DESCRIPTOR = bool(os.open in os.supports_dir_fd and os.scandir in os.supports_fd
                      and _NOFOLLOW and _DIRECTORY)
_UTIME_BY_DESCRIPTOR = os.utime in os.supports_fd


class _Created:
    """The nodes a transfer made in a PyFs, removed again on failure.

    A node is kept only when no directory above it was made by the transfer: removing
    those removes everything else it made, so the record stays small however many
    nodes an import makes."""

    def __init__(self, fs: PyFs) -> None:
        self._fs = fs
        self._tops: Dict[str, None] = {}

    def add(self, path: str) -> None:
        parent = path
        while True:
            parent = parent[:parent.rfind("/")]
            if not parent:
                break
            if parent in self._tops:
                return
        self._tops[path] = None

    def undo(self) -> None:
        for path in reversed(list(self._tops)):
            remove_quietly(self._fs, path, recurse=True)


def _unstorable_name(path: str) -> OSError:
    return oserror(errno.EILSEQ, path, text="a name that is not UTF-8 cannot be stored")


def _core_mkdir(fs: PyFs, path: str, created: _Created) -> None:
    """Makes a directory of `fs` unless one is there; a file there is FileExistsError."""
    try:
        fs.mkdir(path)
    except ValueError as error:
        if _errors.kind_of(error) == _errors.ALREADY_EXISTS and _kind(fs, path) == "directory":
            return
        fail(error, fs, path, creating=True)
    created.add(path)


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
        fail(error, fs, path, creating=True)
    created.add(path)
    try:
        return fs.open_existing(path, "w")
    except ValueError as error:
        _errors.raise_os_error(error, path)


def _check_name(name: str, where: str) -> None:
    """Refuses a name that a PyFs cannot hold as one component."""
    if "\\" in name:  # a separator inside a quorvex path
        raise oserror(errno.EINVAL, where, text="a name with a backslash cannot be stored")
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes of a host or archive name
        raise _unstorable_name(where) from None


def _check_exported_name(name: str, where: str) -> None:
    """Refuses a name that the host or a tar header would cut short."""
    if "\0" in name:
        raise oserror(errno.EINVAL, where, text="a name with a NUL cannot be stored")


def _host_path(path: PathLike) -> str:
    named = os.fspath(path)
    return named if isinstance(named, str) else os.fsdecode(named)


# -- host directories ---------------------------------------------------------------


class _HostDirectory:
    """A directory of the host, its names reached without following a link.

    By descriptor where the host has descriptors relative to a directory, else by
    path. Errors name the whole host path."""

    def __init__(self, path: str, fd: Optional[int]) -> None:
        self.path = path
        self.fd = fd

    @classmethod
    def open_top(cls, path: str) -> _HostDirectory:
        """The directory the caller named; links in its own path are followed."""
        if not _BY_DESCRIPTOR:
            if not os.path.isdir(path):
                os.listdir(path)  # the host's own error for a missing path or a file
                raise oserror(errno.ENOTDIR, path)
            return cls(path, None)
        return cls(path, os.open(path, _OPEN_DIRECTORY & ~_NOFOLLOW))

    def __enter__(self) -> _HostDirectory:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def child(self, name: str) -> str:
        return os.path.join(self.path, name)

    def _at(self, name: str) -> Tuple[str, Optional[int]]:
        """The path and the dir_fd that name `name` to the host."""
        return (name, self.fd) if self.fd is not None else (self.child(name), None)

    def entries(self) -> List[Tuple[str, bool]]:
        """(name, whether it was a directory) of the directories and regular files
        listed, links and special files left out."""
        found = []
        with os.scandir(self.fd if self.fd is not None else self.path) as listing:
            for entry in listing:
                if entry.is_dir(follow_symlinks=False):
                    found.append((entry.name, True))
                elif entry.is_file(follow_symlinks=False):
                    found.append((entry.name, False))
        return found

    def open_directory(self, name: str) -> _HostDirectory:
        """The directory `name`; anything else there, a link to a directory too, is
        OSError: ENOTDIR on Linux, ELOOP on some other hosts for a link."""
        path, dir_fd = self._at(name)
        try:
            if dir_fd is not None:
                return _HostDirectory(self.child(name), os.open(path, _OPEN_DIRECTORY,
                                                                dir_fd=dir_fd))
            mode = os.lstat(path).st_mode
            if not stat.S_ISDIR(mode):
                raise oserror(errno.ENOTDIR, path)
            return _HostDirectory(path, None)
        except OSError as error:
            error.filename = self.child(name)
            raise

    def open_regular_file(self, name: str) -> Optional[int]:
        """A descriptor reading the regular file `name`, or None when something else
        stands there now (a link, a pipe, a device, a socket)."""
        path, dir_fd = self._at(name)
        try:
            fd = os.open(path, _READ_FILE, dir_fd=dir_fd)
        except OSError as error:
            if error.errno in _NOT_OPENED:
                return None
            error.filename = self.child(name)
            raise
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            return None
        return fd

    def create_file(self, name: str) -> int:
        """A descriptor writing the new file `name`; anything there is FileExistsError."""
        path, dir_fd = self._at(name)
        try:
            return os.open(path, _CREATE_FILE, 0o666, dir_fd=dir_fd)
        except OSError as error:
            error.filename = self.child(name)
            raise

    def set_mtime_ns(self, mtime_ns: int) -> None:
        """Stamps this directory with `mtime_ns` (its access time too)."""
        target: Union[int, str] = self.path
        if self.fd is not None and _UTIME_BY_DESCRIPTOR:
            target = self.fd
        os.utime(target, ns=(mtime_ns, mtime_ns))

    def mkdir(self, name: str) -> None:
        path, dir_fd = self._at(name)
        try:
            os.mkdir(path, dir_fd=dir_fd)
        except OSError as error:
            error.filename = self.child(name)
            raise

    def remove(self, name: str, directory: bool) -> None:
        path, dir_fd = self._at(name)
        if directory:
            os.rmdir(path, dir_fd=dir_fd)
        else:
            os.unlink(path, dir_fd=dir_fd)


def import_host(fs: PyFs, host_dir: PathLike, dest: PathLike = "/", *,
                progress: Optional[Progress] = None) -> int:
    """Copies the host directory tree `host_dir` into `dest` of `fs` (made if missing);
    returns the count of files copied.

    Regular files and directories are copied; symbolic links, devices, pipes and
    sockets are skipped. A name holding a backslash (a separator here) is refused."""
    top = normpath(dest)
    created = _Created(fs)
    try:
        with _HostDirectory.open_top(_host_path(host_dir)) as directory:
            _core_makedirs(fs, top, created)
            return _import_directory(fs, directory, top, created, progress)
    except BaseException:
        created.undo()
        raise


def _import_directory(fs: PyFs, directory: _HostDirectory, here: str, created: _Created,
                      progress: Optional[Progress]) -> int:
    count = 0
    for name, is_directory in directory.entries():
        _check_name(name, directory.child(name))
        target = _join(here, name)
        if is_directory:
            try:
                below = directory.open_directory(name)
            except OSError as error:
                if error.errno in _NOT_A_DIRECTORY:
                    continue  # no directory any more: skipped as what stands there now
                raise
            with below:
                _core_mkdir(fs, target, created)
                count += _import_directory(fs, below, target, created, progress)
                _set_mtime(fs, target, os.fstat(below.fd).st_mtime_ns if below.fd is not None
                           else os.lstat(below.path).st_mtime_ns)
        else:
            count += _import_file(fs, directory, name, target, created, progress)
    return count


def _import_file(fs: PyFs, directory: _HostDirectory, name: str, target: str,
                 created: _Created, progress: Optional[Progress]) -> int:
    """Copies the regular file `name` to `target`; 0 when it is no regular file now."""
    fd = directory.open_regular_file(name)
    if fd is None:
        return 0
    with open(fd, "rb", buffering=0) as host_file:
        size = os.fstat(fd).st_size
        handle = _core_new_file(fs, target, created)
        try:
            pump(host_file.readinto, handle.write_from, target, size, progress)
        finally:
            handle.close()
        _set_mtime(fs, target, os.fstat(fd).st_mtime_ns)
    return 1


def _set_mtime(fs: PyFs, path: str, mtime_ns: int) -> None:
    """Gives the node at `path` the modification time of what it was copied from."""
    try:
        fs.set_times(path, mtime_ns)
    except ValueError as error:
        _errors.raise_os_error(error, path)


def _mtime_ns(fs: PyFs, path: str) -> int:
    """The modification time of the node at `path`."""
    try:
        return fs.stat(path).mtime_ns
    except ValueError as error:
        _errors.raise_os_error(error, path)


def _directory_or_error(fs: PyFs, path: str) -> str:
    """The normalised path of a directory of `fs`, or the OSError of what stands there."""
    listing(fs, path)
    return normpath(path)


class _HostCreated:
    """What an export made below its host directory, as names from it, removed again
    on failure: each one reached again without following a link, and a directory
    only while it is empty, so nothing that someone else put there goes."""

    def __init__(self, top: _HostDirectory) -> None:
        self._top = top
        self._made: List[Tuple[Tuple[str, ...], bool]] = []

    def add(self, names: Tuple[str, ...], directory: bool) -> None:
        self._made.append((names, directory))

    def undo(self) -> None:
        for names, directory in reversed(self._made):
            opened: List[_HostDirectory] = []
            try:
                parent = self._top
                for name in names[:-1]:
                    parent = parent.open_directory(name)
                    opened.append(parent)
                parent.remove(names[-1], directory)
            except OSError:
                pass
            finally:
                for below in opened:
                    below.close()


def _make_missing_directories(root: str) -> List[str]:
    """Makes `root` and its missing parents, as os.makedirs; returns those it made."""
    missing: List[str] = []
    parent = os.path.abspath(root)
    while not os.path.isdir(parent):
        missing.append(parent)
        parent = os.path.dirname(parent)
    made: List[str] = []
    try:
        for path in reversed(missing):
            os.mkdir(path)
            made.append(path)
    except BaseException:
        _remove_directories(made)
        raise
    return made


def _remove_directories(paths: List[str]) -> None:
    for path in reversed(paths):
        try:
            os.rmdir(path)
        except OSError:
            pass


def export_host(fs: PyFs, src: PathLike, host_dir: PathLike, *,
                progress: Optional[Progress] = None) -> int:
    """Copies the directory `src` of `fs` and everything below it into the host
    directory `host_dir` (made if missing); returns the count of files copied.

    Where a directory goes, anything but a directory, a symbolic link to one too, is
    FileExistsError: no link below `host_dir` is followed."""
    top = _directory_or_error(fs, fspath(src))
    root = _host_path(host_dir)
    made = _make_missing_directories(root)
    try:
        with _HostDirectory.open_top(root) as directory:
            created = _HostCreated(directory)
            try:
                return _export_directory(fs, top, directory, (), created, progress)
            except BaseException:
                created.undo()
                raise
    except BaseException:
        _remove_directories(made)
        raise


def _export_directory(fs: PyFs, path: str, directory: _HostDirectory, names: Tuple[str, ...],
                      created: _HostCreated, progress: Optional[Progress]) -> int:
    count = 0
    files, dirs = listing(fs, path)
    for name in files:
        target = directory.child(name)
        _check_exported_name(name, target)
        handle = open_handle(fs, _join(path, name), "r", existing=True)
        try:
            size = size_from_start(handle)
            fd = directory.create_file(name)
            created.add(names + (name,), False)
            with open(fd, "wb") as host_file:
                pump(handle.readinto, host_file.write, target, size, progress)
                host_file.flush()  # a later write would stamp the file again
                mtime_ns = _mtime_ns(fs, _join(path, name))
                os.utime(host_file.fileno() if _UTIME_BY_DESCRIPTOR else target,
                         ns=(mtime_ns, mtime_ns))
        finally:
            handle.close()
        count += 1
    for name in dirs:
        _check_exported_name(name, directory.child(name))
        try:
            directory.mkdir(name)
        except FileExistsError as exists:
            below = _existing_directory(directory, name, exists)
        else:
            created.add(names + (name,), True)
            below = directory.open_directory(name)
        with below:
            count += _export_directory(fs, _join(path, name), below, names + (name,),
                                       created, progress)
            below.set_mtime_ns(_mtime_ns(fs, _join(path, name)))
    return count


def _existing_directory(directory: _HostDirectory, name: str,
                        exists: FileExistsError) -> _HostDirectory:
    """The directory already at `name`, merged into; anything else there, a link
    included, stays the FileExistsError of mkdir."""
    try:
        return directory.open_directory(name)
    except OSError as error:
        if error.errno in _NOT_A_DIRECTORY:
            raise exists from None
        raise


# -- tar archives -------------------------------------------------------------------


def _member_parts(name: str) -> List[str]:
    """The components of a member's name below the destination; ".." is refused, and
    a name that is not UTF-8 is OSError EILSEQ."""
    parts = _names(name)
    if ".." in parts:
        raise tarfile.TarError("member %r would leave the destination" % (name,))
    for part in parts:
        _check_name(part, name)
    return parts


def _is_path(target: object) -> bool:
    return isinstance(target, (str, os.PathLike))


def _members(archive: tarfile.TarFile) -> Iterator[tarfile.TarInfo]:
    """The members one after another, none of them kept: tarfile's own iteration keeps
    every member it has read in `members`."""
    while True:
        member = archive.next()
        archive.members.clear()  # type: ignore[attr-defined,unused-ignore]
        if member is None:
            return
        yield member


def _check_expansion(member: tarfile.TarInfo, archive: tarfile.TarFile) -> None:
    """Refuses a sparse member that would make more bytes than the archive holds for it.

    A regular member makes only bytes the archive carries. The holes of a sparse one
    are zeros it does not carry, and a PyFs has no holes, so a small archive could
    otherwise fill memory with them."""
    held = archive.offset - member.offset  # its headers and its data, read just now
    if member.sparse is not None and member.size > held:
        raise tarfile.TarError("sparse member %r would expand to %d bytes from %d in the "
                               "archive" % (member.name, member.size, held))


def import_tar(fs: PyFs, tar_path_or_fileobj: TarTarget, dest: PathLike = "/", *,
               progress: Optional[Progress] = None) -> int:
    """Copies the directories and regular files of a tar archive (a path, compressed or
    not, or a binary file object read as a stream) into `dest` of `fs` (made if
    missing); returns the count of files copied.

    Links, devices and other special members are skipped; a member whose name would
    leave `dest` through ".." is refused with tarfile.TarError, and so is a sparse
    member that would expand beyond the bytes the archive holds for it."""
    top = normpath(dest)
    if _is_path(tar_path_or_fileobj):
        archive = _open_archive(os.fspath(tar_path_or_fileobj), "r:*")  # type: ignore[arg-type]
    else:
        archive = _open_archive(fileobj=tar_path_or_fileobj, mode="r|*")
    created = _Created(fs)
    count = 0
    # Directories get their times last: every entry made in one stamps it again.
    directory_times: List[Tuple[str, int]] = []
    try:
        with archive:
            _core_makedirs(fs, top, created)
            for member in _members(archive):
                if not (member.isdir() or member.isreg()):
                    continue
                parts = _member_parts(member.name)
                if not parts:
                    continue
                target = top
                for name in parts[:-1]:
                    target = _join(target, name)
                    _core_mkdir(fs, target, created)
                target = _join(target, parts[-1])
                mtime_ns = int(member.mtime * 1_000_000_000)
                if member.isdir():
                    _core_mkdir(fs, target, created)
                    directory_times.append((target, mtime_ns))
                    continue
                _check_expansion(member, archive)
                source = archive.extractfile(member)
                assert source is not None
                handle = _core_new_file(fs, target, created)
                try:
                    pump(source.readinto, handle.write_from, target,  # type: ignore[attr-defined]
                          member.size, progress)
                finally:
                    handle.close()
                _set_mtime(fs, target, mtime_ns)
                count += 1
            for target, mtime_ns in reversed(directory_times):
                _set_mtime(fs, target, mtime_ns)
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
                    _check_exported_name(name, _join(dirpath, name))
                    info = tarfile.TarInfo(relative + "/" + name if relative else name)
                    info.type, info.mode = tarfile.DIRTYPE, 0o755
                    info.mtime = _mtime_ns(fs, _join(dirpath, name)) / 1e9
                    archive.addfile(info)
                for name in filenames:
                    source = _join(dirpath, name)
                    _check_exported_name(name, source)
                    handle = open_handle(fs, source, "r", existing=True)
                    try:
                        info = tarfile.TarInfo(relative + "/" + name if relative else name)
                        info.size = size_from_start(handle)
                        info.mode = 0o644
                        info.mtime = _mtime_ns(fs, source) / 1e9
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

