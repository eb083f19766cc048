"""An fsspec file system for the protocol ``quorvex``, over a ``quorvex.PyFs``.

fsspec finds it through the ``fsspec.specs`` entry point, so nothing needs to be
imported first::

    import fsspec

    with fsspec.open("quorvex://data/x.csv", "w") as f:   # the default PyFs
        f.write("a,b\\n")
    mine = fsspec.filesystem("quorvex", fs=quorvex.PyFs())   # over a PyFs of yours

A URL names a path from the root: ``quorvex://data/x.csv`` and
``quorvex:///data/x.csv`` are both ``/data/x.csv``. Without ``fs=`` every
instance works on one process-wide PyFs, made on first use (``default_fs()``).
The same PyFs gives the same instance, two PyFs two instances. An instance over a
PyFs of the caller's is cached only while something else holds it, so that the PyFs
is freed with the caller's last reference; it pickles by reference, good only in the
process that pickled it and while it lives, since a PyFs cannot leave its process.

Files are the ``quorvex_fs.open`` objects; writing a file creates its missing
parent directories, as in fsspec's other in-memory and local file systems. The
file system has no rename: ``mv`` copies, then removes the source. It has no
timestamps and no transactions.
"""

from __future__ import annotations

import errno
import io
import os
import pickle
import threading
import uuid
import weakref
from typing import Any

import fsspec  # type: ignore[import-untyped,import-not-found,unused-ignore]

import quorvex
import quorvex_fs as _layer

__all__ = ["QuorvexFileSystem", "default_fs"]

_PREFIX = "quorvex://"
_COPY_PIECE = 1024 * 1024
_TEXT_OPTIONS = ("encoding", "errors", "newline")
_SET, _END = quorvex.Whence.SEEK_SET, quorvex.Whence.SEEK_END
_open = _layer.open

_default_fs: quorvex.PyFs | None = None
_default_fs_lock = threading.Lock()


def default_fs() -> quorvex.PyFs:
    """The PyFs behind ``quorvex://`` URLs opened without ``fs=``."""
    global _default_fs
    with _default_fs_lock:
        if _default_fs is None:
            _default_fs = quorvex.PyFs()
        return _default_fs


def _owns_fs(args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
    return kwargs.get("fs", args[0] if args else None) is not None


_CachedMeta: Any = type(fsspec.AbstractFileSystem)
_instances_lock = threading.Lock()
# Instances over a PyFs of the caller's, by their arguments and by their token.
_by_arguments: weakref.WeakValueDictionary[str, Any] = weakref.WeakValueDictionary()
_by_token: weakref.WeakValueDictionary[str, Any] = weakref.WeakValueDictionary()


class _Instances(_CachedMeta):  # type: ignore[misc]
    """fsspec's instance cache, held weakly for instances over a PyFs of the caller's.

    fsspec keeps every instance it makes, and so the PyFs given as ``fs=``, until its
    cache is cleared. Such an instance is found again while it lives; its token is its
    own, where fsspec's would come from the PyFs's address, which a later PyFs may reuse.
    """

    def __call__(cls, *args: Any, **kwargs: Any) -> Any:
        if not _owns_fs(args, kwargs):
            return super().__call__(*args, **kwargs)
        cached = not kwargs.pop("skip_instance_cache", False)
        # The PyFs's address is in it: unique while the PyFs lives, which the instance
        # found under it keeps alive.
        key = fsspec.utils.tokenize(cls, os.getpid(), *args, **kwargs)
        with _instances_lock:
            found = _by_arguments.get(key) if cached else None
            if found is None:
                found = super().__call__(*args, skip_instance_cache=True, **kwargs)
                found._fs_token_ = uuid.uuid4().hex
                _by_token[found._fs_token_] = found
                if cached:
                    _by_arguments[key] = found
        return found


def _unpickled(token: str, pid: int) -> Any:
    """The instance a pickle names by reference: one over a PyFs of the caller's."""
    found = _by_token.get(token) if pid == os.getpid() else None
    if found is None:
        raise pickle.UnpicklingError(
            "a quorvex file system over a PyFs of its own unpickles only in the process "
            "that pickled it, while it lives: a PyFs cannot leave its process")
    return found


def _core(path: str) -> str:
    # fsspec names the root "", the core "/".
    return path or "/"


def _readers_take_attributes() -> bool:
    try:
        # The stubs for Python 3.8 want a raw stream where a buffered one serves as well.
        reader = io.BufferedReader(io.BytesIO())  # type: ignore[arg-type,unused-ignore]
        reader.size = 0  # type: ignore[attr-defined]
    except AttributeError:
        return False
    return True


_READERS_TAKE_ATTRIBUTES = _readers_take_attributes()


class _SizedReader(io.BufferedReader):
    """A binary reader that tells its file's length, where a plain one takes no attribute."""

    @property
    def size(self) -> int:
        raw: Any = self.raw
        handle = raw.handle
        here = handle.tell()
        handle.seek(0, _END)
        size: int = handle.tell()
        handle.seek(here, _SET)
        return size


def _record_size(reader: Any) -> None:
    """Gives a fresh binary reader the `size` fsspec's readers ask of one."""
    handle = reader.raw.handle
    handle.seek(0, _END)
    reader.size = handle.tell()
    handle.seek(0, _SET)


class QuorvexFileSystem(fsspec.AbstractFileSystem, metaclass=_Instances):  # type: ignore[misc]
    """fsspec's interface over one ``quorvex.PyFs`` (``fs=``, else ``default_fs()``)."""

    protocol = "quorvex"
    root_marker = ""

    def __init__(self, fs: quorvex.PyFs | None = None, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.pyfs = fs if fs is not None else default_fs()

    def __reduce__(self) -> Any:
        if not _owns_fs(self.storage_args, self.storage_options):
            return super().__reduce__()  # the receiving process's own default PyFs
        return _unpickled, (self._fs_token, os.getpid())

    @classmethod
    def clear_instance_cache(cls) -> None:
        super().clear_instance_cache()
        with _instances_lock:
            _by_arguments.clear()

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        if type(path) is not str:
            if isinstance(path, list):
                return [cls._strip_protocol(p) for p in path]
            path = fsspec.utils.stringify_path(path)
        if path.startswith("quorvex:"):
            path = path[len(_PREFIX):] if path.startswith(_PREFIX) else path[len("quorvex:"):]
        if path[:1] != "/":
            path = "/" + path
        if "//" in path or path.endswith("/"):
            parts = [part for part in path.split("/") if part]
            path = "/" + "/".join(parts) if parts else ""
        return path

    @classmethod
    def _parent(cls, path: Any) -> str:
        stripped: str = cls._strip_protocol(path)
        return stripped.rpartition("/")[0]

    # --- metadata -----------------------------------------------------------------

    def info(self, path: Any, **kwargs: Any) -> dict[str, Any]:
        path = self._strip_protocol(path)
        try:
            found = _layer.info(self.pyfs, _core(path))
        except NotADirectoryError:  # a file in place of a directory of the path
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path) from None
        return {"name": path, "size": found["size"], "type": found["type"]}

    def _file_info(self, path: str) -> dict[str, Any]:
        try:
            return self.info(path)
        except OSError as error:
            if error.errno != errno.EBUSY:
                raise
            # Held for writing: its length is not settled yet.
            return {"name": path, "size": None, "type": "file"}

    def ls(self, path: Any, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        try:
            files, dirs = self.pyfs.listdir(_core(path))
        except ValueError:
            # A file lists as itself; anything else is missing.
            entries = [self.info(path)]
        else:
            entries = [{"name": f"{path}/{name}", "size": 0, "type": "directory"}
                       for name in dirs]
            entries += [self._file_info(f"{path}/{name}") for name in files]
            entries.sort(key=lambda entry: entry["name"])
        return entries if detail else [entry["name"] for entry in entries]

    # --- directories ------------------------------------------------------------------

    def mkdir(self, path: Any, create_parents: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        if self.exists(path):
            raise FileExistsError(path)
        if create_parents:
            _layer.makedirs(self.pyfs, _core(path), exist_ok=True)
        elif not self.isdir(self._parent(path)):
            raise FileNotFoundError(self._parent(path))
        else:
            _layer.makedirs(self.pyfs, path)

    def makedirs(self, path: Any, exist_ok: bool = False) -> None:
        path = self._strip_protocol(path)
        if exist_ok and _layer.isdir(self.pyfs, _core(path)):
            return  # the common case, as fsspec asks before every write: one probe
        if path:
            _layer.makedirs(self.pyfs, path, exist_ok=exist_ok)
        elif not exist_ok:
            raise FileExistsError("/")

    def rmdir(self, path: Any) -> None:
        _layer.rmdir(self.pyfs, _core(self._strip_protocol(path)))

    def rm_file(self, path: Any) -> None:
        path = self._strip_protocol(path)
        if self.isdir(path):
            self.rmdir(path)
        else:
            _layer.remove(self.pyfs, path)

    def _rm(self, path: Any) -> None:
        self.rm_file(path)

    def rm(self, path: Any, recursive: bool = False, maxdepth: Any = None) -> None:
        """Removes files and directories; the root, removed recursively, is emptied and
        stays, as in fsspec's memory file system (alone, it is OSError EBUSY)."""
        found = self.expand_path(path, recursive=recursive, maxdepth=maxdepth)
        for name in reversed(found):
            if not (recursive and name == self.root_marker):
                self.rm_file(name)

    # --- files ----------------------------------------------------------------------

    def open(
        self,
        path: Any,
        mode: str = "rb",
        block_size: Any = None,
        cache_options: Any = None,
        compression: Any = None,
        **kwargs: Any,
    ) -> Any:
        """The layer's file object; text modes take encoding, errors and newline."""
        if type(path) is not str or path[:1] != "/" or "//" in path or path[-1:] == "/":
            path = self._strip_protocol(path)  # else the path is already in its own form
        if kwargs or compression is not None or block_size is not None or self._intrans:
            if compression is not None or self._intrans or kwargs.get("autocommit") is False:
                return super().open(path, mode, block_size, cache_options, compression,
                                    **kwargs)
            text = {key: kwargs[key] for key in _TEXT_OPTIONS if key in kwargs}
            return self._open_file(path, mode, block_size, text)
        # The common call, inlined: nothing but a path and a mode.
        if mode == "rb" and _READERS_TAKE_ATTRIBUTES:
            try:
                file: Any = _open(self.pyfs, path, "rb")
            except FileNotFoundError:
                return self._open_file(path, mode, None, {})  # raises, as it does
            _record_size(file)
            return file
        try:
            return _open(self.pyfs, path, mode)
        except FileNotFoundError:
            return self._open_file(path, mode, None, {})  # makes the parents, or raises

    def _open(
        self,
        path: Any,
        mode: str = "rb",
        block_size: Any = None,
        autocommit: bool = True,
        cache_options: Any = None,
        **kwargs: Any,
    ) -> Any:
        if not autocommit:
            raise NotImplementedError("quorvex files are written in place: no transactions")
        return self._open_file(self._strip_protocol(path), mode, block_size, {})

    def _open_file(self, path: str, mode: str, block_size: Any, text: dict[str, Any]) -> Any:
        if block_size is None:
            buffering = -1
        else:
            buffering = block_size if isinstance(block_size, int) and block_size > 0 else -1
        wrap = mode == "rb" and not _READERS_TAKE_ATTRIBUTES
        layer_buffering = 0 if wrap else buffering
        try:
            file: Any = _open(self.pyfs, path, mode, layer_buffering, **text)
        except FileNotFoundError:
            parent = self._parent(path)
            if not set(mode) & set("wax") or not parent or self.exists(parent):
                raise
            # Writing makes the missing parents, as fsspec's other file systems do.
            _layer.makedirs(self.pyfs, parent, exist_ok=True)
            file = _open(self.pyfs, path, mode, layer_buffering, **text)
        if mode == "rb":
            # fsspec's readers ask a binary reader for its file's length.
            if wrap:
                return _SizedReader(file, buffering if buffering > 0 else io.DEFAULT_BUFFER_SIZE)
            _record_size(file)
        return file

    def cat_file(self, path: Any, start: Any = None, end: Any = None, **kwargs: Any) -> bytes:
        """The bytes of `path` from `start` to `end`, as a slice takes them: negative
        positions count from the end, and a range that ends before it starts is b""."""
        with self.open(path, "rb", **kwargs) as file:
            first, last, _ = slice(start, end).indices(file.seek(0, io.SEEK_END))
            if last <= first:
                return b""
            file.seek(first)
            data: bytes = file.read(last - first)
            return data

    def cp_file(self, path1: Any, path2: Any, **kwargs: Any) -> None:
        path1, path2 = self._strip_protocol(path1), self._strip_protocol(path2)
        if self.isdir(path1):
            self.makedirs(path2, exist_ok=True)
            return
        with self._open(path1, "rb") as source, self._open(path2, "wb") as target:
            while True:
                piece = source.read(_COPY_PIECE)
                if not piece:
                    break
                target.write(piece)

    def created(self, path: Any) -> Any:
        raise NotImplementedError("quorvex keeps no timestamps")

    def modified(self, path: Any) -> Any:
        raise NotImplementedError("quorvex keeps no timestamps")


# Registered by entry point once installed; this also covers a source checkout.
fsspec.register_implementation("quorvex", QuorvexFileSystem, clobber=True)
