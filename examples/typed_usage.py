"""quorvex with type annotations throughout; `mypy --strict` accepts this file.

Run it as any other example: python3 examples/typed_usage.py
"""
from __future__ import annotations

import quorvex
from quorvex import PyFileHandle, PyFs, PyTerm, Whence


def write_all(handle: PyFileHandle, data: bytes) -> int:
    """Append ``data`` at the end of the file; writing never moves the offset."""
    handle.seek(0, Whence.SEEK_END)
    start: int = handle.tell()
    written: int = handle.write(data)
    handle.seek(start + written, Whence.SEEK_SET)
    return written


def read_all(fs: PyFs, path: str) -> bytes:
    handle = fs.open(path, "r")
    try:
        handle.seek(0, Whence.SEEK_END)
        size = handle.tell()
        handle.seek(0, Whence.SEEK_SET)
        return handle.read(size)
    finally:
        handle.close()


def count_entries(fs: PyFs, path: str) -> dict[str, int]:
    files, dirs = fs.listdir(path)
    counts = {"files": len(files), "dirs": len(dirs)}
    for name in dirs:
        below = count_entries(fs, f"{path.rstrip('/')}/{name}")
        counts["files"] += below["files"]
        counts["dirs"] += below["dirs"]
    return counts


def run(term: PyTerm, *lines: str) -> list[str]:
    """Run each line, keeping its output or, when it fails, its message."""
    results: list[str] = []
    for line in lines:
        try:
            results.append(term.exec(line))
        except ValueError as error:
            results.append(f"error: {error}")
    return results


def main() -> None:
    fs = quorvex.PyFs()
    fs.mkdir("/docs")
    fs.touch("/docs/empty.txt")

    notes = fs.open("/docs/notes.txt", "w")
    write_all(notes, b"hello, ")
    write_all(notes, b"world")
    notes.close()

    print(read_all(fs, "/docs/notes.txt"))
    print(count_entries(fs, "/"))
    tree: str = fs.tree("/", ident="| ")
    print(tree, end="")

    term = PyTerm(fs)
    for output in run(term, "cd docs", "pwd", "ls", "cat nosuch"):
        print(repr(output))

    origins: list[Whence] = [Whence.SEEK_SET, Whence.SEEK_CUR, Whence.SEEK_END]
    print([int(origin) for origin in origins], Whence.SEEK_CUR == 1)

    fs.remove("/docs", True)
    print(fs.listdir("/"), quorvex.__all__)


if __name__ == "__main__":
    main()
