"""quorvex_fs with type annotations throughout; `mypy --strict` accepts this file.

Run it as any other example: python3 examples/typed_files.py
"""
from __future__ import annotations

import csv
import io
import tempfile
from pathlib import PurePosixPath
from typing import Dict, List

import quorvex
import quorvex_fs


def write_report(fs: quorvex.PyFs, path: PurePosixPath, rows: List[Dict[str, str]]) -> int:
    """Writes rows as CSV through the standard csv module; returns the file's size."""
    quorvex_fs.makedirs(fs, path.parent, exist_ok=True)
    with quorvex_fs.open(fs, path, "w", encoding="utf-8", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    return quorvex_fs.getsize(fs, path)


def read_report(fs: quorvex.PyFs, path: str) -> List[Dict[str, str]]:
    with quorvex_fs.open(fs, path, encoding="utf-8", newline="") as source:
        return list(csv.DictReader(source))


def append_log(fs: quorvex.PyFs, line: str) -> None:
    with quorvex_fs.open(fs, "/logs/app.log", "ab") as log:  # an io.BufferedWriter
        log.write(line.encode() + b"\n")


def sizes(fs: quorvex.PyFs, top: str) -> Dict[str, int]:
    found: Dict[str, int] = {}
    for dirpath, _, filenames in quorvex_fs.walk(fs, top):
        for name in filenames:
            path = dirpath.rstrip("/") + "/" + name
            found[path] = quorvex_fs.info(fs, path)["size"]
    return found


def main() -> None:
    fs = quorvex.PyFs()
    size = write_report(fs, PurePosixPath("/reports/2026/q1.csv"),
                        [{"city": "Lyon", "sales": "12"}, {"city": "Graz", "sales": "7"}])
    print(size, read_report(fs, "/reports/2026/q1.csv"))

    quorvex_fs.makedirs(fs, "/logs")
    for word in ("start", "work", "stop"):
        append_log(fs, word)
    print(quorvex_fs.read_text(fs, "/logs/app.log", encoding="utf-8").split())

    try:
        quorvex_fs.open(fs, "/reports/missing.csv")
    except FileNotFoundError as error:
        print("missing:", error.filename, "because", error.__cause__)

    archive = io.BytesIO()
    quorvex_fs.export_tar(fs, "/", archive)
    archive.seek(0)
    copy = quorvex.PyFs()
    quorvex_fs.import_tar(copy, archive)
    print(sorted(quorvex_fs.glob(copy, "/**/*.csv")), sizes(copy, "/") == sizes(fs, "/"))

    with tempfile.TemporaryDirectory() as host:
        copied = quorvex_fs.export_host(fs, "/reports", host)
        print(copied, "file(s) on the host")


if __name__ == "__main__":
    main()
