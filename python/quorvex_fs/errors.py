"""The OSError that Python code expects for each failure of a quorvex file system.

The compiled module reports every failure as a ValueError that carries the failure's
``kind`` (``"InodeNotFound"``, ``"NotAFile"``, ...) and the matching ``errno``. This
layer raises the OSError subclass of that errno instead, with ``errno``, ``strerror``
and the path filled in, and the core's ValueError, unchanged, as ``__cause__``::

    try:
        fs.open_existing("/missing", "r")
    except ValueError as error:
        raise os_error(error, "/missing") from error   # FileNotFoundError

| kind                       | raised                                  |
|----------------------------|-----------------------------------------|
| InodeNotFound              | FileNotFoundError (ENOENT)              |
| NotADirectory              | NotADirectoryError (ENOTDIR)            |
| NotAFile                   | IsADirectoryError (EISDIR)              |
| ResourceAlreadyExists      | FileExistsError (EEXIST)                |
| DirectoryIsNotEmpty        | OSError (ENOTEMPTY)                     |
| ResourceCurrentInUse       | OSError (EBUSY)                         |
| MaxRecursionDepthExceeded  | OSError (ENAMETOOLONG)                  |
| InvalidFileDescriptor      | OSError (EBADF)                         |
| UnrecognizedFileMode       | OSError (EINVAL)                        |
| NoSpaceLeft                | OSError (ENOSPC)                        |
| InvalidMove                | OSError (EINVAL)                        |
| OperationNotSupported      | io.UnsupportedOperation                 |

The table is the core's own: each kind's errno comes with the error, so a kind added
later maps without a change here.
"""

from __future__ import annotations

import io
import os
from typing import NoReturn, Optional

__all__ = ["os_error", "errno_of", "kind_of", "raise_os_error"]

# The kinds the layer tells apart, as the compiled module names them.
NOT_FOUND = "InodeNotFound"
NOT_A_DIRECTORY = "NotADirectory"
NOT_A_FILE = "NotAFile"
ALREADY_EXISTS = "ResourceAlreadyExists"
NOT_EMPTY = "DirectoryIsNotEmpty"
IN_USE = "ResourceCurrentInUse"
TOO_DEEP = "MaxRecursionDepthExceeded"
BAD_DESCRIPTOR = "InvalidFileDescriptor"
BAD_MODE = "UnrecognizedFileMode"
UNSUPPORTED = "OperationNotSupported"
NO_SPACE = "NoSpaceLeft"
INVALID_MOVE = "InvalidMove"


def kind_of(error: BaseException) -> Optional[str]:
    """The kind of a core failure, or None if `error` is not one."""
    kind = getattr(error, "kind", None)
    return kind if isinstance(error, ValueError) and isinstance(kind, str) else None


def errno_of(error: BaseException) -> Optional[int]:
    """The errno that stands for a core failure, or None if `error` is not one."""
    if kind_of(error) is None or kind_of(error) == UNSUPPORTED:
        return None
    code = getattr(error, "errno", None)
    return code if isinstance(code, int) else None


def os_error(error: BaseException, path: Optional[str] = None,
             path2: Optional[str] = None) -> BaseException:
    """The exception to raise, ``from error``, for the core's ValueError `error`.

    Core failures become the OSError subclass of their errno (see the module's table)
    carrying `path` and `path2`; an operation the handle's mode refuses becomes
    io.UnsupportedOperation; anything else is `error` itself, unchanged.
    """
    if kind_of(error) == UNSUPPORTED:
        return io.UnsupportedOperation("File not open for writing")
    code = errno_of(error)
    if code is None:
        return error
    return oserror(code, path, path2)


def oserror(code: int, path: Optional[str], path2: Optional[str] = None,
            text: Optional[str] = None) -> OSError:
    """The OSError subclass of `code`, as os raises it for `path` (and `path2`), with
    `text` in place of the errno's own message when given."""
    strerror = text or os.strerror(code)
    if path2 is None:
        return OSError(code, strerror, path)
    return OSError(code, strerror, path, None, path2)


def raise_os_error(error: BaseException, path: Optional[str] = None,
                   path2: Optional[str] = None) -> NoReturn:
    """Raises :func:`os_error` of `error`, chained to it (or `error` itself if unknown)."""
    mapped = os_error(error, path, path2)
    if mapped is error:
        raise error
    raise mapped from error

