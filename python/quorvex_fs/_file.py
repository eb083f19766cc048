"""Python's file objects over a quorvex file system: open() and the raw FileIO."""

from __future__ import annotations

import codecs
import errno
import io
import operator
import os
import sys
import warnings
from _thread import allocate_lock as _allocate_lock
from typing import (IO, Any, Callable, Dict, Literal, NoReturn, Optional, Tuple, Union,
                    overload)

from quorvex import PyFileHandle, PyFs, Whence

from ._common import PathLike, fail, fspath, oserror
from .errors import BAD_DESCRIPTOR, UNSUPPORTED, kind_of, os_error

__all__ = ["open", "FileIO", "fspath"]


_SET = Whence.SEEK_SET
_CUR = Whence.SEEK_CUR
_END = Whence.SEEK_END
# A path ending like this names a directory; reaching a file through it is ENOTDIR.
_DIRECTORY_SUFFIXES = ("/", "\\", "/.", "\\.")
_DIRECTORY_ENDS = "/\\."  # the last characters of those, to test first
_DOT_SUFFIXES = _DIRECTORY_SUFFIXES[2:]
_CLOSED = "I/O operation on closed file."
_NEWLINES = (None, "", "\n", "\r", "\r\n")
_text_encoding = getattr(io, "text_encoding", None)  # 3.10 and later
_BUFFER_SIZE = io.DEFAULT_BUFFER_SIZE


# C callables that answer at once: a Python method costs io's wrappers a frame.
_YES: Callable[[], bool] = True.__bool__
_NO: Callable[[], bool] = False.__bool__
_index = operator.index
_raw_read = io.RawIOBase.read


def _closed_file(*args: Any) -> NoReturn:
    raise ValueError(_CLOSED)


def _bytes_of(data: Any) -> bytes:
    """The bytes of a bytes-like object, refused as io.FileIO.write refuses others."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError("a bytes-like object is required, not '%s'"
                        % type(data).__name__) from None
    if not view.c_contiguous:
        raise BufferError("memoryview: underlying buffer is not C-contiguous")
    return view.tobytes()


# What io.FileIO shows as the mode of a file opened "w+": "rb+" until Python 3.14.
_W_PLUS_SHOWS_AS = "wb+" if sys.version_info >= (3, 15) else "rb+"


class FileIO(io.RawIOBase):
    """A raw binary file over one PyFileHandle, with the semantics of io.FileIO.

    Where the compiled module has ``PyFs.open_file``, ``quorvex_fs.FileIO`` names the
    compiled raw file that method returns, which behaves the same way; this class stands
    in for it elsewhere.

    Made by :func:`open` over a handle of ``PyFs.open_shared``, which takes no part in
    the file lock: like a file descriptor on Linux it never waits for, or refuses,
    another open, and a file removed or replaced while open stays readable and writable
    through it until it closes. Normally wrapped in a BufferedReader, BufferedWriter or
    BufferedRandom (and a TextIOWrapper). Writes advance the position; a seek past the
    end is allowed and a later write fills the gap with zero bytes; in append mode every
    write goes to the end and the position follows it. Truncating never moves the
    position.

    Each call is atomic, as on a file descriptor: threads sharing one FileIO never see
    or leave a position half way through another thread's read, write, seek or truncate.

    ``name`` is the path as given to open; ``mode`` is what io.FileIO shows for the same
    open ('rb', 'rb+', 'wb', 'xb', 'xb+', 'ab', 'ab+': "w+" shows as 'rb+');
    ``handle`` is the PyFileHandle underneath.
    """

    # Slots, not the instance dict, keep making and dropping one cheap. `closed` is a
    # slot of its own that stands in for io's flag, so every check of it by the
    # buffered wrappers is a plain attribute read. readable, writable and seekable are
    # slots too, holding C callables with constant answers (``_closed_file`` once
    # closed), which io's wrappers call without a Python frame.
    #
    # The handle's offset never lies past the end of the file: a position past it is
    # kept in ``_beyond`` while the offset waits at the end, where a read finds nothing.
    #
    # Every call that uses the handle holds ``_lock``, since most take several steps on
    # it (a write is a write and a seek). acquire and release are called directly: a
    # with statement costs twice as much.
    __slots__ = ("closed", "handle", "name", "mode", "_append", "_beyond", "_lock",
                 "readable", "writable", "seekable")

    closed: bool
    handle: PyFileHandle
    name: str
    mode: str
    _append: bool
    _beyond: Optional[int]
    _lock: Any
    readable: Callable[[], bool]
    writable: Callable[[], bool]
    seekable: Callable[[], bool]

    # (readable, writable, append) by the raw mode given to the constructor.
    _MODES = {
        "rb": (True, False, False), "rb+": (True, True, False),
        "wb": (False, True, False), "wb+": (True, True, False),
        "xb": (False, True, False), "xb+": (True, True, False),
        "ab": (False, True, True), "ab+": (True, True, True),
    }

    def __init__(self, handle: PyFileHandle, name: str, mode: str = "rb") -> None:
        _set_fields(self, handle, name, mode)

    def __repr__(self) -> str:
        state = " [closed]" if self.closed else ""
        return "<quorvex_fs.FileIO name=%r mode=%r%s>" % (self.name, self.mode, state)

    # -- reading ----------------------------------------------------------------------

    def read(self, size: Optional[int] = -1) -> Optional[bytes]:
        return _raw_read(self, -1 if size is None else size)

    def readinto(self, buffer: Any) -> int:
        lock = self._lock
        lock.acquire()
        try:
            if self._beyond is not None:
                self._move_to(self._beyond)  # another file may have grown the file since
            count: int = self.handle.readinto(buffer)
        except ValueError as error:
            self._fail(error)
        finally:
            lock.release()
        return count

    def readall(self) -> bytes:
        lock = self._lock
        lock.acquire()
        handle = self.handle
        try:
            # One read of what is left, then more while another handle keeps writing.
            # Another handle may have cut the file below the position: nothing is left.
            here = self._position()
            handle.seek(0, _END)
            size = max(handle.tell() - here, 0)
            self._move_to(here)
            data = bytearray(size)
            count = handle.readinto(data)
            if count == size:
                more = bytearray(_BUFFER_SIZE)
                while True:
                    extra = handle.readinto(more)
                    if not extra:
                        break
                    data += more[:extra]
                    count += extra
        except ValueError as error:
            self._fail(error)
        finally:
            lock.release()
        return bytes(data) if count == len(data) else bytes(data[:count])

    # -- writing ----------------------------------------------------------------------

    def write(self, data: Any) -> int:
        if type(data) is not bytes and not isinstance(data, (bytearray, memoryview)):
            data = _bytes_of(data)  # refused as io.FileIO refuses what is not bytes-like
        if not data:
            # Nothing is written, so nothing moves: not even a gap is filled.
            if self.writable():
                return 0
            raise io.UnsupportedOperation("File not open for writing")
        lock = self._lock
        lock.acquire()
        try:
            if self._beyond is not None and not self._append:
                # Another file may have grown this one past the position since: then
                # there is no gap left, and nothing of that file's bytes is cut.
                self._move_to(self._beyond)
                if self._beyond is not None:
                    self._fill_gap(self._beyond)
            # Copied once, at the offset (at the end in append mode), which moves past it.
            count: int = self.handle.write_from(data)
            self._beyond = None
        except ValueError as error:
            self._fail(error)
        except TypeError:
            _bytes_of(data)  # a memoryview that is not contiguous: io.FileIO's BufferError
            raise
        finally:
            lock.release()
        return count

    def _fill_gap(self, position: int) -> None:
        """Extends the file with zero bytes up to `position` and moves there."""
        self.handle.truncate(position)
        self.handle.seek(position, _SET)
        self._beyond = None

    def truncate(self, size: Optional[int] = None) -> int:
        if not self.writable():
            raise io.UnsupportedOperation("File not open for writing")
        if size is not None:
            size = _index(size)
            if size < 0:
                raise oserror(errno.EINVAL, self.name)
        lock = self._lock
        lock.acquire()
        try:
            position = self._position()
            if size is None:
                size = position
            self.handle.truncate(size)
            self._move_to(position)  # the position stays, even past the new end
        except ValueError as error:
            self._fail(error)
        finally:
            lock.release()
        return size

    # -- positioning ------------------------------------------------------------------

    def tell(self) -> int:
        lock = self._lock
        lock.acquire()
        try:
            if self.closed:
                raise ValueError(_CLOSED)
            return self._position()
        finally:
            lock.release()

    def _position(self) -> int:
        if self._beyond is not None:
            return self._beyond
        try:
            position: int = self.handle.tell()
        except ValueError as error:
            self._fail(error)
        return position

    def seek(self, pos: int, whence: int = 0) -> int:
        if type(pos) is not int:
            pos = _index(pos)
        if type(whence) is not int:
            whence = _index(whence)
        if self.closed:
            raise ValueError(_CLOSED)
        if not 0 <= whence <= 2:
            raise oserror(errno.EINVAL, self.name)
        lock = self._lock
        lock.acquire()
        handle = self.handle
        try:
            if whence == 0:
                target = pos
            elif whence == 1:
                target = self._position() + pos
            else:
                here = handle.tell()
                handle.seek(0, _END)
                target = handle.tell() + pos
                if target < 0:
                    handle.seek(here, _SET)
            if target < 0:  # refused, with the position left where it was
                raise oserror(errno.EINVAL, self.name)
            self._move_to(target)
        except ValueError as error:
            self._fail(error)
        finally:
            lock.release()
        return target

    def _move_to(self, position: int) -> None:
        """Sets the position; past the end, the handle's offset waits at the end."""
        handle = self.handle
        handle.seek(position, _SET)  # the core stops at the end of the file
        self._beyond = position if position > handle.tell() else None

    # -- closing ----------------------------------------------------------------------

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        self.readable = self.writable = self.seekable = _closed_file
        try:
            self.handle.close()
        except ValueError:
            pass  # already closed through the handle itself

    def flush(self) -> None:
        if self.closed:
            raise ValueError(_CLOSED)

    def fileno(self) -> int:
        raise io.UnsupportedOperation("quorvex files have no file descriptor")

    def isatty(self) -> bool:
        if self.closed:
            raise ValueError(_CLOSED)
        return False

    def _fail(self, error: ValueError) -> NoReturn:
        """Raises what Python's own files raise in place of the core's `error`."""
        kind = kind_of(error)
        if kind == BAD_DESCRIPTOR:
            raise ValueError(_CLOSED) from error
        if kind == UNSUPPORTED:
            raise io.UnsupportedOperation("File not open for reading" if not self.readable()
                                          else "File not open for writing") from error
        mapped = os_error(error, self.name)
        if mapped is error:
            raise error
        raise mapped from error


def _set_fields(raw: FileIO, handle: PyFileHandle, name: str, mode: str) -> None:
    """Every field of a FileIO over `handle`, opened with the raw `mode` ("rb", "wb+", ...)."""
    readable, writable, raw._append = _MODES[mode]
    raw.closed = False
    raw.handle = handle
    raw.name = name
    raw.mode = _W_PLUS_SHOWS_AS if mode == "wb+" else mode
    raw._beyond = None
    raw._lock = _allocate_lock()
    raw.readable = _YES if readable else _NO
    raw.writable = _YES if writable else _NO
    raw.seekable = _YES


# The Python FileIO's own, kept here: once the compiled type is there, FileIO names it.
_PythonFileIO = FileIO
_MODES = FileIO._MODES
_new_raw = FileIO.__new__


def _open_python_raw(fs: PyFs, path: str, flags: int, mode: str) -> FileIO:
    """The Python FileIO, for a compiled module without PyFs.open_file."""
    handle = fs.open_shared(path, flags)
    if mode[0] == "a":
        handle.seek(0, _END)  # where io.FileIO starts an appending file
    raw = _new_raw(_PythonFileIO)  # skipping __init__ saves a Python call per open
    _set_fields(raw, handle, path, mode)
    return raw


def _compiled_raw_type() -> Optional[type]:
    """The type of PyFs.open_file's raw files (reachable only through one), if there is one."""
    if not hasattr(PyFs, "open_file"):
        return None
    raw = PyFs().open_file("/f", os.O_RDWR | os.O_CREAT)
    raw.close()
    return type(raw)


# The raw file under every file of open: the compiled one, whose methods io's classes call
# without a Python frame, where the module has it; the Python FileIO otherwise.
_CompiledFileIO = _compiled_raw_type()
_COMPILED = _CompiledFileIO is not None
if _CompiledFileIO is not None:
    io.RawIOBase.register(_CompiledFileIO)
    FileIO = _CompiledFileIO  # type: ignore[misc, assignment]  # noqa: F811


# A parsed mode: (the os.O_* flags of the open, the raw mode ("rb", "wb+", ...), binary,
# buffered class). A plain tuple, unpacked at once, is the quickest.
_Mode = Tuple[int, str, bool, Any]
_MODE_CACHE: Dict[str, _Mode] = {}


def _parse_mode(mode: str) -> _Mode:
    """Python's own mode rules; valid modes are remembered."""
    if not isinstance(mode, str):
        raise TypeError("invalid mode: %r" % (mode,))
    letters = set(mode)
    if letters - set("axrwb+t") or len(mode) > len(letters):
        raise ValueError("invalid mode: %r" % (mode,))
    creating, reading = "x" in letters, "r" in letters
    writing, appending = "w" in letters, "a" in letters
    updating, text, binary = "+" in letters, "t" in letters, "b" in letters
    if text and binary:
        raise ValueError("can't have text and binary mode at once")
    if creating + reading + writing + appending > 1:
        raise ValueError("can't have read/write/append mode at once")
    if not (creating or reading or writing or appending):
        raise ValueError("must have exactly one of read/write/append mode")
    # The flags io.FileIO passes to open(2) for the same mode.
    flags = os.O_RDWR if updating else (os.O_RDONLY if reading else os.O_WRONLY)
    if reading:
        raw = "rb"
    elif creating:
        raw, flags = "xb", flags | os.O_CREAT | os.O_EXCL
    elif appending:
        raw, flags = "ab", flags | os.O_CREAT | os.O_APPEND
    else:
        raw, flags = "wb", flags | os.O_CREAT | os.O_TRUNC
    if updating:
        buffered: Any = io.BufferedRandom
    elif reading:
        buffered = io.BufferedReader
    else:
        buffered = io.BufferedWriter
    raw += "+" if updating else ""
    parsed = (flags, raw, binary, buffered)
    if len(_MODE_CACHE) < 256:
        _MODE_CACHE[mode] = parsed
    return parsed


# The mode texts that select each kind of result, for type checkers; any other valid
# order of the same letters works too, typed as IO[Any].
TextMode = Literal["r", "w", "x", "a", "r+", "w+", "x+", "a+",
                   "rt", "wt", "xt", "at", "r+t", "w+t", "x+t", "a+t"]
ReadingBinaryMode = Literal["rb", "br"]
WritingBinaryMode = Literal["wb", "xb", "ab", "bw", "bx", "ba"]
UpdatingBinaryMode = Literal["r+b", "w+b", "x+b", "a+b", "rb+", "wb+", "xb+", "ab+"]
BinaryMode = Union[ReadingBinaryMode, WritingBinaryMode, UpdatingBinaryMode]


@overload
def open(fs: PyFs, path: PathLike, mode: TextMode = "r", buffering: int = -1,
         encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> io.TextIOWrapper: ...
@overload  # unbuffered: buffering=0 overlaps the int of the buffered forms below
def open(fs: PyFs, path: PathLike,  # type: ignore[overload-overlap]
         mode: BinaryMode, buffering: Literal[0],
         encoding: None = None, errors: None = None, newline: None = None) -> FileIO: ...
@overload
def open(fs: PyFs, path: PathLike, mode: ReadingBinaryMode, buffering: int = -1,
         encoding: None = None, errors: None = None,
         newline: None = None) -> io.BufferedReader: ...
@overload
def open(fs: PyFs, path: PathLike, mode: WritingBinaryMode, buffering: int = -1,
         encoding: None = None, errors: None = None,
         newline: None = None) -> io.BufferedWriter: ...
@overload
def open(fs: PyFs, path: PathLike, mode: UpdatingBinaryMode, buffering: int = -1,
         encoding: None = None, errors: None = None,
         newline: None = None) -> io.BufferedRandom: ...
@overload
def open(fs: PyFs, path: PathLike, mode: str, buffering: int = -1,
         encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> IO[Any]: ...


def open(fs: PyFs, path: PathLike, mode: str = "r", buffering: int = -1,
         encoding: Optional[str] = None, errors: Optional[str] = None,
         newline: Optional[str] = None) -> Any:
    """Opens a file of `fs` the way the builtin open opens a file on disk.

    Modes follow Python's rules: "r" (the file must exist), "w" (created or truncated),
    "x" (created; an existing file is FileExistsError), "a" (created when missing,
    every write at the end), each with "+" for reading and writing, and "b" or "t".
    Binary modes give an io.BufferedReader, BufferedWriter or BufferedRandom over a
    :class:`FileIO` (the FileIO itself with buffering=0); text modes an io.TextIOWrapper
    over those, with `encoding`, `errors` and `newline` as the builtin open takes them
    (buffering=1 is line buffering). Failures raise OSError subclasses
    (FileNotFoundError, IsADirectoryError, FileExistsError, ...) and change nothing.

    The file is open as a file descriptor is on Linux: other opens, removals and
    replacements of the same path never wait for it nor fail because of it (no EBUSY),
    and a file removed or replaced while open keeps its bytes for this file object
    until it closes. Writes advance the position. Nothing is ever printed.
    """
    parsed = _MODE_CACHE.get(mode) if type(mode) is str else None
    if parsed is None:
        parsed = _parse_mode(mode)
    flags, raw_mode, binary, buffered = parsed
    if type(path) is not str:
        path = fspath(path)
    line_buffering = False
    if buffering == -1 and binary and encoding is None and errors is None and newline is None:
        buffering = _BUFFER_SIZE  # the common case, with nothing more to check
    else:
        if not isinstance(buffering, int):
            raise TypeError("invalid buffering: %r" % (buffering,))
        if binary:
            _check_binary_arguments(buffering, encoding, errors, newline)
        else:
            _check_text_arguments(buffering, encoding, errors, newline)
            line_buffering = buffering == 1
        if buffering == 1 or buffering < 0:
            buffering = _BUFFER_SIZE

    if path[-1:] in _DIRECTORY_ENDS and path.endswith(_DIRECTORY_SUFFIXES):
        _refuse_directory_path(fs, path, flags)
    try:
        raw: Any = (fs.open_file(path, flags) if _COMPILED
                     else _open_python_raw(fs, path, flags, raw_mode))
    except ValueError as error:
        fail(error, fs, path, flags & os.O_CREAT != 0)
    if buffering == 0:
        return raw
    try:
        buffer = buffered(raw, buffering)
        if binary:
            return buffer
        if _text_encoding is not None:
            encoding = _text_encoding(encoding, 2)
        text = io.TextIOWrapper(buffer, encoding, errors, newline, line_buffering)
        text.mode = mode  # type: ignore[misc]
        return text
    except BaseException:
        raw.close()
        raise


def _refuse_directory_path(fs: PyFs, path: str, flags: int) -> NoReturn:
    """What the builtin open answers on Linux for a path that names a directory ("d/",
    "d/."), with nothing made or cut. Creating through a trailing separator is EISDIR
    whatever the last name is, once the directory before it is there; otherwise a
    directory is EISDIR (EEXIST for "d/." with "x"), a file ENOTDIR, and a missing name
    ENOENT."""
    dot = path.endswith(_DOT_SUFFIXES)
    if flags & os.O_CREAT and not dot and _is_directory(fs, _parent_of(path)):
        raise oserror(errno.EISDIR, path)
    try:
        found = fs.stat(path)
    except ValueError as error:
        fail(error, fs, path)
    if found.kind != "directory":
        raise oserror(errno.ENOTDIR, path)
    raise oserror(errno.EEXIST if flags & os.O_EXCL else errno.EISDIR, path)


def _parent_of(path: str) -> str:
    """The directory part of `path` once its trailing separators are gone ("/" for a name
    at the root)."""
    stripped = path.rstrip("/\\")
    return stripped[:max(stripped.rfind("/"), stripped.rfind("\\"))] or "/"


def _is_directory(fs: PyFs, path: str) -> bool:
    try:
        return fs.stat(path).kind == "directory"
    except (ValueError, UnicodeEncodeError):
        return False


def _check_binary_arguments(buffering: int, encoding: Optional[str], errors: Optional[str],
                            newline: Optional[str]) -> None:
    if encoding is not None:
        raise ValueError("binary mode doesn't take an encoding argument")
    if errors is not None:
        raise ValueError("binary mode doesn't take an errors argument")
    if newline is not None:
        raise ValueError("binary mode doesn't take a newline argument")
    if buffering == 1:
        warnings.warn("line buffering (buffering=1) isn't supported in binary mode, "
                      "the default buffer size will be used", RuntimeWarning, 3)


def _check_text_arguments(buffering: int, encoding: Optional[str], errors: Optional[str],
                          newline: Optional[str]) -> None:
    """What TextIOWrapper would refuse, refused before the file is touched."""
    if buffering == 0:
        raise ValueError("can't have unbuffered text I/O")
    if encoding is not None:
        if not isinstance(encoding, str):
            raise TypeError("invalid encoding: %r" % (encoding,))
        codecs.lookup(encoding)
    if errors is not None and not isinstance(errors, str):
        raise TypeError("invalid errors: %r" % (errors,))
    if newline not in _NEWLINES:
        if not isinstance(newline, str):
            raise TypeError("invalid newline: %r" % (newline,))
        raise ValueError("illegal newline value: %r" % (newline,))

