"""The OSError that Python code expects for each failure of a quorvex file system.

The compiled module reports every failure as a ValueError whose message names the kind
(``"Inode not found"``, ``"Resource is currently in use"``, ...). This layer raises the
matching OSError subclass instead, with ``errno``, ``strerror`` and the path filled in,
and the core's ValueError, text unchanged, as ``__cause__``::

    try:
        fs.open("/missing", "r")  # creates; the layer's open does not
    except ValueError as error:
        raise os_error(error, "/missing") from error   # FileNotFoundError

| core message                              | raised                                  |
|-------------------------------------------|-----------------------------------------|
| Inode not found                           | FileNotFoundError (ENOENT)              |
| The specified INode is not a directory    | NotADirectoryError (ENOTDIR)            |
| The specified INode is not a file         | IsADirectoryError (EISDIR)              |
| Resource already exists                   | FileExistsError (EEXIST)                |
| Directory is not empty                    | OSError (ENOTEMPTY)                     |
| Resource is currently in use              | OSError (EBUSY)                         |
| Maximum filesystem depth exceeded         | OSError (ENAMETOOLONG)                  |
| Invalid file descriptor                   | OSError (EBADF)                         |
| Unrecognized file mode                    | OSError (EINVAL)                        |
| File does not support the operation: ...  | io.UnsupportedOperation                 |
"""

from __future__ import annotations

import errno
import io
import os
from typing import Dict, NoReturn, Optional

__all__ = ["os_error", "errno_of", "raise_os_error", "UNSUPPORTED_PREFIX"]

# The core's message texts, as the compiled module raises them.
NOT_FOUND = "Inode not found"
NOT_A_DIRECTORY = "The specified INode is not a directory"
NOT_A_FILE = "The specified INode is not a file"
ALREADY_EXISTS = "Resource already exists"
NOT_EMPTY = "Directory is not empty"
IN_USE = "Resource is currently in use"
TOO_DEEP = "Maximum filesystem depth exceeded"
BAD_DESCRIPTOR = "Invalid file descriptor"
BAD_MODE = "Unrecognized file mode"
UNSUPPORTED_PREFIX = "File does not support the specified operation: "

_ERRNO_BY_TEXT: Dict[str, int] = {
    NOT_FOUND: errno.ENOENT,
    NOT_A_DIRECTORY: errno.ENOTDIR,
    NOT_A_FILE: errno.EISDIR,
    ALREADY_EXISTS: errno.EEXIST,
    NOT_EMPTY: errno.ENOTEMPTY,
    IN_USE: errno.EBUSY,
    TOO_DEEP: errno.ENAMETOOLONG,
    BAD_DESCRIPTOR: errno.EBADF,
    BAD_MODE: errno.EINVAL,
}


def _text_of(error: BaseException) -> str:
    return error.args[0] if error.args and isinstance(error.args[0], str) else ""


def errno_of(error: BaseException) -> Optional[int]:
    """The errno that stands for a core failure, or None if `error` is not one."""
    return _ERRNO_BY_TEXT.get(_text_of(error))


def os_error(error: BaseException, path: Optional[str] = None,
             path2: Optional[str] = None) -> BaseException:
    """The exception to raise, ``from error``, for the core's ValueError `error`.

    Known core failures become the OSError subclass of their errno (see the module's
    table) carrying `path` and `path2`; a refused read, write or truncate becomes
    io.UnsupportedOperation; anything else is `error` itself, unchanged.
    """
    text = _text_of(error)
    code = _ERRNO_BY_TEXT.get(text)
    if code is not None:
        if path2 is None:
            return OSError(code, os.strerror(code), path)
        return OSError(code, os.strerror(code), path, None, path2)
    if text.startswith(UNSUPPORTED_PREFIX):
        operation = text[len(UNSUPPORTED_PREFIX):]
        return io.UnsupportedOperation(
            "File not open for reading" if operation == "read" else "File not open for writing")
    return error


def raise_os_error(error: BaseException, path: Optional[str] = None,
                   path2: Optional[str] = None) -> NoReturn:
    """Raises :func:`os_error` of `error`, chained to it (or `error` itself if unknown)."""
    mapped = os_error(error, path, path2)
    if mapped is error:
        raise error
    raise mapped from error
