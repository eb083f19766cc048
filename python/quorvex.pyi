# Type information for the quorvex extension module.
#
# The module is a single compiled file, so these declarations are installed twice:
# as the stub package quorvex-stubs (what mypy reads from site-packages) and as
# quorvex.pyi beside the extension (what editors that look next to a module read).

from typing import ClassVar, Literal, final

from typing_extensions import Buffer

__all__ = ["PyFs", "PyFileHandle", "PyTerm", "Whence"]

@final
class PyFs:
    """A file system that lives only in memory."""

    def __new__(cls) -> PyFs: ...
    def mkdir(self, path: str) -> None: ...
    def touch(self, path: str) -> None: ...
    def open(self, path: str, mode: str) -> PyFileHandle:
        """Open the file at `path` with a mode of "", "r", "w", "rw" or "wr".

        A missing file is created, in every mode, "r" included. "w" does not truncate:
        the bytes stay and the offset starts at 0. Any number of handles without "w",
        or one with it, may hold a file; a conflicting open fails at once with
        ValueError("Resource is currently in use")."""
    def open_existing(self, path: str, mode: str) -> PyFileHandle:
        """Like open, but a missing file is ValueError("Inode not found") instead of
        being created; the lookup and the open are one step."""
    def open_shared(self, path: str, flags: int) -> PyFileHandle:
        """Open with os.O_* flags (O_RDONLY, O_WRONLY or O_RDWR, with any of O_CREAT,
        O_EXCL, O_TRUNC, O_APPEND) a handle that takes no part in the file's lock: it
        never refuses or is refused by another open or a removal, and keeps reading and
        writing its file after the file is removed, until it closes."""
    def listdir(self, path: str) -> tuple[list[str], list[str]]: ...
    # Both arguments are required, whatever the runtime signature text suggests.
    def remove(self, path: str, recurse: bool) -> None: ...
    def tree(self, path: str, ident: str | None = None) -> str: ...
    def stat(self, path: str) -> _StatResult:
        """The kind, size, id and times of the node at `path`; takes no file lock."""
    def set_times(self, path: str, mtime_ns: int) -> None: ...
    def set_limits(self, max_bytes: int | None = None, max_nodes: int | None = None) -> None:
        """None lifts a limit; a limit below the current usage is refused, as is any
        growth past one, with ValueError("No space left on device")."""
    def usage(self) -> tuple[int, int]:
        """(bytes, nodes) held; the root counts as a node."""
    def rename(self, src: str, dst: str) -> None:
        """Move the entry at `src` to the path `dst` in one step, as POSIX rename does.

        A file replaces a file, a directory an empty directory; the moved entry becomes
        the last of its new directory. On failure nothing changes and the ValueError
        carries `kind` and `errno` (e.g. "InvalidMove" for a directory moved into its
        own subtree, "ResourceCurrentInUse" for a replaced file that a handle holds)."""

@final
class PyFileHandle:
    """An open file; made only by PyFs.open, open_existing and open_shared."""

    def id(self) -> int: ...
    def close(self) -> None: ...
    def read(self, buffer: int) -> bytes:
        """Read up to `buffer` bytes from the offset and move the offset past them.

        Every successful read also writes the line "Read N bytes from file" to the
        process's standard output (file descriptor 1, past sys.stdout); readinto
        reads without it."""
    def write(self, buffer: bytes) -> int:
        """Store `buffer` at the offset, growing the file as needed; returns its length.

        The offset does not move: a second write overwrites the first unless the
        caller seeks forward by the count first."""
    def readinto(self, buffer: Buffer) -> int:
        """Fill a writable buffer from the offset, move the offset by the count and
        return it; prints nothing. Fails as read does."""
    def truncate(self, size: int) -> int:
        """Cut the file to `size` bytes or extend it with zero bytes; returns `size`.

        Needs the write flag (else ValueError "File does not support the specified
        operation: truncate"); a negative size is OverflowError."""
    def write_from(self, buffer: Buffer) -> int:
        """Store any contiguous buffer at the offset (at the end for O_APPEND), copied
        once, move the offset past it and return the count. Fails as write does."""
    def stat(self) -> _StatResult: ...
    def seek(self, offset: int, whence: Whence) -> None: ...
    def tell(self) -> int: ...

# The type of stat's results, reachable only through them (not a module attribute).
@final
class _StatResult(tuple[str, int, int, int, int]):
    @property
    def kind(self) -> Literal["file", "directory", "symlink"]: ...
    @property
    def size(self) -> int: ...
    @property
    def id(self) -> int: ...
    @property
    def mtime_ns(self) -> int: ...
    @property
    def birth_ns(self) -> int: ...

@final
class PyTerm:
    """A toy shell over a PyFs, with a working directory of its own."""

    def __new__(cls, fs: PyFs) -> PyTerm: ...
    def exec(self, command: str) -> str: ...

@final
class Whence:
    """The origin of a seek; only the three class attributes exist."""

    SEEK_SET: ClassVar[Whence]
    SEEK_CUR: ClassVar[Whence]
    SEEK_END: ClassVar[Whence]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
