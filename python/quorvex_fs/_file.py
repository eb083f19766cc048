"""Python's file objects over a quorvex file system: open() and the raw FileIO."""

from __future__ import annotations

import codecs
import errno
import io
import os
import warnings
from typing import IO, Any, Callable, Dict, Literal, NoReturn, Optional, Tuple, Union, overload

from quorvex import PyFileHandle, PyFs, Whence

from .errors import BAD_DESCRIPTOR, os_error

__all__ = ["open", "FileIO", "fspath"]

PathLike = Union[str, "os.PathLike[str]"]

_SET = Whence.SEEK_SET
_CUR = Whence.SEEK_CUR
_END = Whence.SEEK_END
# A path ending like this names a directory; reaching a file through it is ENOTDIR.
_DIRECTORY_SUFFIXES = ("/", "\\", "/.", "\\.")
_DIRECTORY_ENDS = "/\\."  # the last characters of those, to test first
_CLOSED = "I/O operation on closed file."
_NEWLINES = (None, "", "\n", "\r", "\r\n")
_text_encoding = getattr(io, "text_encoding", None)  # 3.10 and later
_BUFFER_SIZE = io.DEFAULT_BUFFER_SIZE


def fspath(path: Any) -> str:
    """A path given as str or os.PathLike, as str; bytes paths are refused."""
    if type(path) is str:
        return path
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError("quorvex paths are str or os.PathLike[str], not %s"
                        % type(path).__name__)
    return path


# C callables that answer at once: a Python method costs io's wrappers a frame.
_YES: Callable[[], bool] = True.__bool__
_NO: Callable[[], bool] = False.__bool__


def _closed_file(*args: Any) -> NoReturn:
    raise ValueError(_CLOSED)


class FileIO(io.RawIOBase):
    """A raw binary file over one PyFileHandle, with the semantics of io.FileIO.

    Made by :func:`open`; normally wrapped in a BufferedReader, BufferedWriter or
    BufferedRandom (and a TextIOWrapper). Unlike the handle's own write, write here
    advances the position; a seek past the end is allowed and a later write fills the
    gap with zero bytes; in append mode every write goes to the end. Closing closes the
    handle at once, so the file's lock is free again on every interpreter.

    ``name`` is the path as given to open; ``mode`` is io.FileIO's ('rb', 'wb', 'xb',
    'ab', each possibly with '+'); ``handle`` is the PyFileHandle underneath.
    """

    # Slots, not the instance dict, keep making and dropping one cheap. `closed` is a
    # slot of its own that stands in for io's flag, so every check of it by the
    # buffered wrappers is a plain attribute read.
    #
    # The methods the wrappers call most are slots too, holding C callables while
    # those give the right answer: the handle's own readinto and tell, and constant
    # answers for readable, writable and seekable. io's wrappers then call C directly
    # instead of a Python method. ``_readinto`` and ``_tell`` are the general forms,
    # bound instead where needed; a closed file holds ``_closed_file`` in all five.
    __slots__ = ("closed", "handle", "name", "mode", "_append", "_beyond",
                 "readinto", "tell", "readable", "writable", "seekable")

    # mypy 1.14 (the last release for Python 3.8) checks this slot against io's readinto
    # with the wrong type; later releases accept it, hence unused-ignore.
    readinto: Callable[[Any], int]  # type: ignore[assignment, unused-ignore]
    tell: Callable[[], int]
    readable: Callable[[], bool]
    writable: Callable[[], bool]
    seekable: Callable[[], bool]

    # (readable, writable, append) by raw mode.
    _MODES = {
        "rb": (True, False, False), "rb+": (True, True, False),
        "wb": (False, True, False), "wb+": (True, True, False),
        "xb": (False, True, False), "xb+": (True, True, False),
        "ab": (False, True, True), "ab+": (True, True, True),
    }

    def __init__(self, handle: PyFileHandle, name: str, mode: str = "rb") -> None:
        readable, writable, self._append = self._MODES[mode]
        self.closed: bool = False
        self.handle = handle
        self.name = name
        self.mode = mode
        # The position when it lies past the end of the file (the handle's own offset
        # cannot), else None.
        self._beyond: Optional[int] = None
        self.readinto = handle.readinto if readable else self._readinto
        self.tell = handle.tell
        self.readable = _YES if readable else _NO
        self.writable = _YES if writable else _NO
        self.seekable = _YES

    def __repr__(self) -> str:
        state = " [closed]" if self.closed else ""
        return "<quorvex_fs.FileIO name=%r mode=%r%s>" % (self.name, self.mode, state)

    # -- reading ----------------------------------------------------------------------

    def _readinto(self, buffer: Any) -> int:
        try:
            return self.handle.readinto(buffer)
        except ValueError as error:
            self._fail(error)

    def readall(self) -> bytes:
        handle = self.handle
        try:
            # One read of exactly what is left. The handle's lock keeps the file from
            # changing under it: a reader excludes writers, a writer every other handle.
            here = handle.tell()
            handle.seek(0, _END)
            size = handle.tell() - here
            handle.seek(here, _SET)
            data = bytearray(size)
            handle.readinto(data)
        except ValueError as error:
            self._fail(error)
        return bytes(data)

    # -- writing ----------------------------------------------------------------------

    def write(self, data: Any) -> int:
        if type(data) is not bytes:
            data = bytes(data)  # the handle takes bytes only; a memoryview is copied
        handle = self.handle
        try:
            if self._append:
                handle.seek(0, _END)
            elif self._beyond is not None:
                self._fill_gap()
            count: int = handle.write(data)
            handle.seek(count, _CUR)
        except ValueError as error:
            self._fail(error)
        return count

    def _fill_gap(self) -> None:
        position = self._beyond
        assert position is not None
        self.handle.truncate(position)
        self.handle.seek(position, _SET)
        self._set_beyond(None)

    def truncate(self, size: Optional[int] = None) -> int:
        position = self.tell()
        if size is None:
            size = position
        else:
            size = size.__index__()
            if size < 0:
                raise OSError(errno.EINVAL, os.strerror(errno.EINVAL), self.name)
        try:
            self.handle.truncate(size)
        except ValueError as error:
            self._fail(error)
        # The position stays, even where the file now ends before it.
        self._set_beyond(position if position > size else None)
        return size

    # -- positioning ------------------------------------------------------------------

    def _tell(self) -> int:
        if self._beyond is not None:
            return self._beyond
        try:
            position: int = self.handle.tell()
        except ValueError as error:
            self._fail(error)
        return position

    def seek(self, pos: int, whence: int = 0) -> int:
        if whence == 1 and pos == 0:  # tell(), as the buffered wrappers spell it
            return self.tell()
        pos = pos.__index__()
        handle = self.handle
        try:
            if whence == 0:
                target = pos
            elif whence == 1:
                target = self.tell() + pos
            elif whence == 2:
                handle.seek(0, _END)
                target = handle.tell() + pos
            else:
                raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % (whence,))
            if target < 0:
                raise OSError(errno.EINVAL, os.strerror(errno.EINVAL), self.name)
            handle.seek(target, _SET)
            reached: int = handle.tell()
        except ValueError as error:
            self._fail(error)
        self._set_beyond(target if target > reached else None)
        return target

    def _set_beyond(self, position: Optional[int]) -> None:
        """Records a position past the end of the file (None: the handle's own offset)."""
        self._beyond = position
        self.tell = self.handle.tell if position is None else self._tell

    # -- closing ----------------------------------------------------------------------

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        self.readinto = self.tell = _closed_file
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
        if error.args and error.args[0] == BAD_DESCRIPTOR:
            raise ValueError(_CLOSED) from error
        mapped = os_error(error, self.name)
        if mapped is error:
            raise error
        raise mapped from error


# A parsed mode: (PyFs.open mode, disposition, truncates, FileIO's mode, its
# (readable, writable, append), binary, buffered class). A plain tuple, unpacked at once, is the quickest to use.
_Mode = Tuple[str, int, bool, str, Tuple[bool, bool, bool], bool, Any]
_EXISTING, _CREATE, _EXCLUSIVE = 0, 1, 2
_MODE_CACHE: Dict[str, _Mode] = {}
_new_raw = FileIO.__new__


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
    core = "rw" if updating else ("r" if reading else "w")
    if reading:
        disposition, raw = _EXISTING, "rb"
    elif creating:
        disposition, raw = _EXCLUSIVE, "xb"
    else:
        disposition, raw = _CREATE, "ab" if appending else "wb"
    if updating:
        buffered: Any = io.BufferedRandom
    elif reading:
        buffered = io.BufferedReader
    else:
        buffered = io.BufferedWriter
    raw += "+" if updating else ""
    parsed = (core, disposition, writing, raw, FileIO._MODES[raw], binary, buffered)
    if len(_MODE_CACHE) < 256:
        _MODE_CACHE[mode] = parsed
    return parsed


def _create_exclusive(fs: PyFs, path: str, core: str) -> PyFileHandle:
    """A handle on a file that this call makes; FileExistsError if one is there."""
    fs.touch(path)
    try:
        return fs.open_existing(path, core)
    except ValueError:
        _remove_quietly(fs, path)  # the file made here goes again, unless held by now
        raise


def _raise_open_error(error: ValueError, path: str) -> NoReturn:
    exception = os_error(error, path)
    if exception is error:
        raise error
    raise exception from error


def _remove_quietly(fs: PyFs, path: str) -> None:
    try:
        fs.remove(path, False)
    except ValueError:
        pass


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
    (FileNotFoundError, IsADirectoryError, OSError with EBUSY for a file another handle
    holds in a conflicting way, ...) and change nothing.

    Writes advance the position, and closing (or leaving a with block) gives the
    file's lock back at once. Nothing is ever printed.
    """
    parsed = _MODE_CACHE.get(mode) if type(mode) is str else None
    if parsed is None:
        parsed = _parse_mode(mode)
    core, disposition, truncate, raw_mode, flags, binary, buffered = parsed
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

    # The common dispositions are inlined: each Python call costs as much as a core open.
    try:
        if disposition == _EXISTING:
            handle = fs.open_existing(path, core)
        elif disposition == _CREATE:
            handle = fs.open(path, core)
        else:
            handle = _create_exclusive(fs, path, core)
    except ValueError as error:
        _raise_open_error(error, path)
    if path[-1:] in _DIRECTORY_ENDS and path.endswith(_DIRECTORY_SUFFIXES):
        handle.close()  # a file, reached through a path that names a directory
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), path)
    if truncate:
        handle.truncate(0)  # "w" truncates only once the handle is held
    elif raw_mode[0] == "a":
        handle.seek(0, _END)
    # FileIO's own fields, set here: skipping its __init__ saves a Python call per open.
    raw = _new_raw(FileIO)
    readable, writable, raw._append = flags
    raw.closed = False
    raw.handle = handle
    raw.name = path
    raw.mode = raw_mode
    raw._beyond = None
    raw.readinto = handle.readinto if readable else raw._readinto
    raw.tell = handle.tell
    raw.readable = _YES if readable else _NO
    raw.writable = _YES if writable else _NO
    raw.seekable = _YES
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

