#!/usr/bin/env python3
"""Real data clients over quorvex://: one realistic pipeline step per job.

Each job runs against a fresh, empty PyFs, reached either through URLs with
``storage_options={"fs": pyfs}`` or through the fsspec instance over it, and prints one line:

    NAME                      PASS
    NAME                      FAIL  ExceptionType: first line of its message
    NAME                      SKIP  no module named 'duckdb'

The clients are not part of the test extra; install them into the interpreter that runs
this (benchmarks/requirements-clients.txt lists them). A job whose client is missing is
skipped. Nothing here is timed; the exit status is 1 when any job fails.

    pip install -r benchmarks/requirements-clients.txt
    PYTHONPATH=build/dev:python python3 benchmarks/client_jobs.py          # every job
    PYTHONPATH=build/dev:python python3 benchmarks/client_jobs.py --quick  # no subprocesses
    PYTHONPATH=build/dev:python python3 benchmarks/client_jobs.py --only pandas duckdb

tests/python/test_client_jobs.py runs the quick jobs under pytest.
"""

from __future__ import annotations

import argparse
import csv
import gc
import importlib
import io
import json
import pickle
import shutil
import sys
import tarfile
import warnings
import zipfile
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Tuple

import fsspec

import quorvex
import quorvex_fs
from quorvex_fs.fsspec_fs import QuorvexFileSystem


@dataclass(frozen=True)
class Job:
    name: str
    clients: Tuple[str, ...]  # modules the job imports; missing ones skip it
    run: Callable[[quorvex.PyFs, Any], None]  # (pyfs, the fsspec instance over it)
    quick: bool = True  # False: starts other processes


JOBS: List[Job] = []


def job(name: str, *clients: str, quick: bool = True) -> Callable[[Any], Any]:
    def register(run: Callable[[quorvex.PyFs, Any], None]) -> Any:
        JOBS.append(Job(name, clients, run, quick))
        return run
    return register


def check(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)


def frame() -> Any:
    import pandas as pd

    return pd.DataFrame({"k": ["a", "b", "a", "c"] * 25, "x": range(100),
                         "y": [i / 7 for i in range(100)]})


# --- pandas -----------------------------------------------------------------------------


@job("pandas csv", "pandas")
def pandas_csv(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import pandas as pd

    options = {"fs": pyfs}
    df = frame()
    df.to_csv("quorvex://t/a.csv", index=False, storage_options=options)
    back = pd.read_csv("quorvex://t/a.csv", storage_options=options)
    pd.testing.assert_frame_equal(back, df)


@job("pandas parquet overwrite x100", "pandas", "pyarrow")
def pandas_parquet_overwrite(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import pandas as pd

    options = {"fs": pyfs}
    url = "quorvex://t/a.parquet"
    frame().to_parquet(url, storage_options=options)
    # The reader pandas leaves in a reference cycle is closed only when the collector
    # runs; paused, it stays open, as it may at any time, and the overwrite still works.
    collecting = gc.isenabled()
    gc.disable()
    try:
        for _ in range(100):
            df = pd.read_parquet(url, storage_options=options)
            df["x"] = df["x"] + 1
            df.to_parquet(url, storage_options=options)  # read, then overwrite the same path
    finally:
        if collecting:
            gc.enable()
    check(pd.read_parquet(url, storage_options=options)["x"].iloc[0] == 100, "x after 100 rounds")


# --- pyarrow ----------------------------------------------------------------------------


def arrow_fs(qfs: Any) -> Any:
    from pyarrow.fs import FSSpecHandler, PyFileSystem

    return PyFileSystem(FSSpecHandler(qfs))


@job("pyarrow table", "pyarrow")
def pyarrow_table(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.table({"x": list(range(1000)), "s": [str(i) for i in range(1000)]})
    afs = arrow_fs(qfs)
    afs.create_dir("/t")
    pq.write_table(table, "/t/a.parquet", filesystem=afs)
    check(pq.read_table("/t/a.parquet", filesystem=afs).equals(table), "table read back")


@job("pyarrow partitioned dataset", "pyarrow")
def pyarrow_dataset(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import pyarrow as pa
    import pyarrow.dataset as ds

    table = pa.table({"k": ["a", "b", "c"] * 10, "x": list(range(30))})
    afs = arrow_fs(qfs)
    ds.write_dataset(table, "/ds", filesystem=afs, format="parquet",
                     partitioning=["k"], partitioning_flavor="hive")
    check(sorted(qfs.ls("/ds", detail=False)) == ["/ds/k=a", "/ds/k=b", "/ds/k=c"],
          "one directory per key")
    back = ds.dataset("/ds", filesystem=afs, format="parquet", partitioning="hive").to_table()
    check(sorted(back.column("x").to_pylist()) == list(range(30)), "every row read back")
    check(sorted(set(back.column("k").to_pylist())) == ["a", "b", "c"], "keys from the paths")


# --- duckdb -----------------------------------------------------------------------------


@job("duckdb copy to / read_parquet", "duckdb")
def duckdb_copy(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import duckdb

    con = duckdb.connect()
    con.register_filesystem(qfs)
    con.execute("COPY (SELECT range AS i, range * 2 AS j FROM range(1000)) "
                "TO 'quorvex://x.parquet' (FORMAT parquet)")
    check(pyfs.listdir("/")[0] == ["x.parquet"], "file written")
    total = con.execute("SELECT sum(j) FROM read_parquet('quorvex://x.parquet')").fetchone()
    check(total == (999 * 1000,), f"sum read back: {total}")


# --- polars -----------------------------------------------------------------------------


@job("polars parquet and csv via fs.open", "polars")
def polars_files(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import polars as pl

    df = pl.DataFrame({"k": ["a", "b"] * 50, "x": list(range(100))})
    with qfs.open("/p/a.parquet", "wb") as f:
        df.write_parquet(f)
    with qfs.open("/p/a.parquet", "rb") as f:
        check(pl.read_parquet(f).equals(df), "parquet read back")
    with qfs.open("/p/a.csv", "wb") as f:
        df.write_csv(f)
    with qfs.open("/p/a.csv", "rb") as f:
        check(pl.read_csv(f).equals(df), "csv read back")


# --- dask -------------------------------------------------------------------------------


def dask_frame() -> Any:
    import dask.dataframe as dd

    return dd.from_pandas(frame(), npartitions=4)


@job("dask parquet, threads", "dask.dataframe", "pyarrow")
def dask_threads(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import dask
    import dask.dataframe as dd

    with dask.config.set(scheduler="threads"):
        dask_frame().to_parquet("quorvex://dk", storage_options={"fs": pyfs})
        back = dd.read_parquet("quorvex://dk", filesystem=qfs).compute()
    check(len(qfs.ls("/dk")) == 4, "one file per partition")
    check(sorted(back["x"]) == list(range(100)), "every row read back")


@job("dask csv, threads", "dask.dataframe")
def dask_csv(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import dask
    import dask.dataframe as dd

    options = {"fs": pyfs}
    with dask.config.set(scheduler="threads"):
        dask_frame().to_csv("quorvex://c/*.csv", index=False, storage_options=options)
        back = dd.read_csv("quorvex://c/*.csv", storage_options=options).compute()
    check(sorted(back["x"]) == list(range(100)), "every row read back")


@job("dask read_parquet storage_options", "dask.dataframe", "pyarrow")
def dask_parquet_options(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import dask
    import dask.dataframe as dd

    options = {"fs": pyfs}
    with dask.config.set(scheduler="threads"):
        dask_frame().to_parquet("quorvex://dk", storage_options=options)
        # read_parquet tokenizes its storage_options, and with them the PyFs itself.
        back = dd.read_parquet("quorvex://dk", storage_options=options).compute()
    check(sorted(back["x"]) == list(range(100)), "every row read back")


@job("dask processes: refused clearly", "dask.dataframe", "pyarrow", quick=False)
def dask_processes(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import dask
    import dask.dataframe as dd

    with dask.config.set(scheduler="threads"):
        dask_frame().to_parquet("quorvex://dk", filesystem=qfs)
    try:
        with dask.config.set(scheduler="processes", num_workers=2):
            dd.read_parquet("quorvex://dk", filesystem=qfs).compute()
    except pickle.UnpicklingError as error:
        check("cannot leave its process" in str(error), f"the reason given: {error}")
        return
    raise AssertionError("a PyFs reached another process")


# --- zarr, xarray -----------------------------------------------------------------------


def zarr_v3() -> bool:
    import zarr

    return int(zarr.__version__.split(".")[0]) >= 3


@job("zarr array", "zarr", "numpy")
def zarr_array(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import numpy as np
    import zarr

    data = np.arange(10_000, dtype="i4").reshape(100, 100)
    if zarr_v3():
        from zarr.storage import FsspecStore

        store: Any = FsspecStore.from_url("quorvex://z/a", storage_options={"fs": pyfs})
    else:
        store = qfs.get_mapper("/z/a")  # the fsspec mapper, which zarr 2 takes as a store
    array = zarr.open_array(store=store, mode="w", shape=data.shape, chunks=(30, 30),
                            dtype="i4")
    array[:] = data
    check(np.array_equal(zarr.open_array(store=store, mode="r")[:], data), "array read back")
    check(len(qfs.find("/z/a")) > 1, "chunks stored as files")


@job("xarray to_zarr / open_zarr", "xarray", "zarr", "numpy")
def xarray_zarr(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import numpy as np
    import xarray as xr

    data = xr.Dataset({"t": (("time", "x"), np.arange(60.0).reshape(6, 10))},
                      coords={"time": np.arange(6), "x": np.arange(10)})
    options = {"fs": pyfs}
    data.to_zarr("quorvex://x.zarr", mode="w", storage_options=options)
    back = xr.open_zarr("quorvex://x.zarr", storage_options=options).load()
    xr.testing.assert_identical(back, data)


# --- UPath ------------------------------------------------------------------------------


@job("UPath read/write/iterdir/rename", "upath")
def upath_job(pyfs: quorvex.PyFs, qfs: Any) -> None:
    from upath import UPath

    root = UPath("quorvex:///u", fs=pyfs)
    (root / "a.txt").write_text("alpha")
    (root / "b.txt").write_text("beta")
    check((root / "a.txt").read_text() == "alpha", "read_text")
    check(sorted(p.name for p in root.iterdir()) == ["a.txt", "b.txt"], "iterdir")
    moved = (root / "a.txt").rename(root / "c.txt")
    check(moved.read_text() == "alpha" and not (root / "a.txt").exists(), "rename")


# --- file objects ---------------------------------------------------------------------


@job("h5py via file object", "h5py", "numpy")
def h5py_job(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import h5py
    import numpy as np

    data = np.linspace(0, 1, 1000)
    with qfs.open("/h/a.h5", "wb") as f, h5py.File(f, "w") as h5:
        h5.create_dataset("d", data=data, compression="gzip")
        h5.attrs["unit"] = "m"
    with qfs.open("/h/a.h5", "rb") as f, h5py.File(f, "r") as h5:
        check(np.array_equal(h5["d"][:], data) and h5.attrs["unit"] == "m", "read back")


@job("numpy save/load, savez", "numpy")
def numpy_job(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import numpy as np

    data = np.arange(1000, dtype="f8")
    with qfs.open("/n/a.npy", "wb") as f:
        np.save(f, data)
    with qfs.open("/n/a.npy", "rb") as f:
        check(np.array_equal(np.load(f), data), ".npy read back")
    with quorvex_fs.open(pyfs, "/n/b.npz", "wb") as f:
        np.savez_compressed(f, a=data, b=data * 2)
    with quorvex_fs.open(pyfs, "/n/b.npz", "rb") as f, np.load(f) as archive:
        check(np.array_equal(archive["b"], data * 2), ".npz read back")


@job("pillow save/open", "PIL")
def pillow_job(pyfs: quorvex.PyFs, qfs: Any) -> None:
    from PIL import Image

    image = Image.new("RGB", (64, 32), (200, 10, 30))
    with qfs.open("/img/a.png", "wb") as f:
        image.save(f, format="PNG")
    with qfs.open("/img/a.png", "rb") as f, Image.open(f) as back:
        check(back.size == (64, 32) and back.getpixel((3, 3)) == (200, 10, 30), "pixels")


@job("joblib dump/load", "joblib", "numpy")
def joblib_job(pyfs: quorvex.PyFs, qfs: Any) -> None:
    import joblib
    import numpy as np

    model = {"weights": np.arange(5000.0), "name": "m"}
    with qfs.open("/m/model.joblib", "wb") as f:
        joblib.dump(model, f, compress=3)
    with qfs.open("/m/model.joblib", "rb") as f:
        back = joblib.load(f)
    check(back["name"] == "m" and np.array_equal(back["weights"], model["weights"]), "model")


@job("stdlib json/csv/zip/tar/copyfileobj")
def stdlib_job(pyfs: quorvex.PyFs, qfs: Any) -> None:
    quorvex_fs.makedirs(pyfs, "/s")
    with quorvex_fs.open(pyfs, "/s/a.json", "w", encoding="utf-8") as f:
        json.dump({"rows": [1, 2, 3]}, f)
    with quorvex_fs.open(pyfs, "/s/a.json", encoding="utf-8") as f:
        check(json.load(f) == {"rows": [1, 2, 3]}, "json")
    with quorvex_fs.open(pyfs, "/s/a.csv", "w", encoding="utf-8", newline="") as f:
        csv.writer(f).writerows([["a", "b"], ["1", "x,y"]])
    with quorvex_fs.open(pyfs, "/s/a.csv", encoding="utf-8", newline="") as f:
        check(list(csv.reader(f)) == [["a", "b"], ["1", "x,y"]], "csv")
    with quorvex_fs.open(pyfs, "/s/a.zip", "wb") as f, zipfile.ZipFile(f, "w") as archive:
        archive.writestr("inner.txt", "zipped" * 100)
    with quorvex_fs.open(pyfs, "/s/a.zip", "rb") as f, zipfile.ZipFile(f) as archive:
        check(archive.read("inner.txt") == b"zipped" * 100, "zip")
    with quorvex_fs.open(pyfs, "/s/a.tar.gz", "wb") as f:
        with tarfile.open(fileobj=f, mode="w:gz") as archive:
            info = tarfile.TarInfo("inner.bin")
            info.size = 3
            archive.addfile(info, io.BytesIO(b"tar"))
    with quorvex_fs.open(pyfs, "/s/a.tar.gz", "rb") as f:
        with tarfile.open(fileobj=f, mode="r:gz") as archive:
            member = archive.extractfile("inner.bin")
            check(member is not None and member.read() == b"tar", "tar")
    with quorvex_fs.open(pyfs, "/s/a.zip", "rb") as source:
        with quorvex_fs.open(pyfs, "/s/copy.zip", "wb") as target:
            shutil.copyfileobj(source, target)
    check(quorvex_fs.read_bytes(pyfs, "/s/copy.zip") == quorvex_fs.read_bytes(pyfs, "/s/a.zip"),
          "copyfileobj")


# --- fsspec generics --------------------------------------------------------------------


@job("fsspec exists/isfile/size while written")
def fsspec_while_written(pyfs: quorvex.PyFs, qfs: Any) -> None:
    with qfs.open("/w/log.bin", "wb") as f:
        f.write(b"x" * 10)
        f.flush()
        answers = (qfs.exists("/w/log.bin"), qfs.isfile("/w/log.bin"), qfs.size("/w/log.bin"))
        check(answers == (True, True, 10), f"exists, isfile, size: {answers}")


@job("fsspec mv dir with a reader open")
def fsspec_mv_open(pyfs: quorvex.PyFs, qfs: Any) -> None:
    qfs.pipe({"/d/a.bin": b"a" * 100, "/d/sub/b.bin": b"b" * 100})
    with qfs.open("/d/a.bin", "rb") as reader:
        head = reader.read(10)
        try:
            qfs.mv("/d", "/e", recursive=True)
        finally:
            # Whatever mv did, no byte may be lost: each file is whole in one place.
            for name, byte in (("a.bin", b"a"), ("sub/b.bin", b"b")):
                found = [qfs.cat(f"{root}/{name}") for root in ("/d", "/e")
                         if qfs.exists(f"{root}/{name}")]
                check(byte * 100 in found, f"{name} is whole somewhere")
        check(head + reader.read() == b"a" * 100, "the open reader reads on")
    check(not qfs.exists("/d") and qfs.find("/e") == ["/e/a.bin", "/e/sub/b.bin"], "moved")


@job("fsspec transaction")
def fsspec_transaction(pyfs: quorvex.PyFs, qfs: Any) -> None:
    qfs.pipe_file("/tx/old.txt", b"old")
    with qfs.transaction:
        with qfs.open("/tx/new.txt", "wb") as f:
            f.write(b"new")
        with qfs.open("/tx/old.txt", "wb") as f:
            f.write(b"replaced")
        check(not qfs.exists("/tx/new.txt") and qfs.cat("/tx/old.txt") == b"old",
              "nothing visible before the commit")
    check(qfs.cat("/tx/new.txt") == b"new" and qfs.cat("/tx/old.txt") == b"replaced",
          "both committed")


# --- running --------------------------------------------------------------------------


def missing_client(job: Job) -> Optional[str]:
    for name in job.clients:
        try:
            importlib.import_module(name)
        except ImportError as error:
            return f"{type(error).__name__}: {error}"
    return None


def describe(error: Optional[BaseException]) -> str:
    """Type and first line of the message, and of each cause's, which wrappers hide."""
    parts: List[str] = []
    while error is not None and len(parts) < 3:
        lines = str(error).strip().splitlines()
        parts.append(f"{type(error).__name__}: {lines[0] if lines else ''}")
        error = error.__cause__
    return " <- ".join(parts)


def run_job(job: Job) -> Tuple[str, str]:
    """('PASS' | 'FAIL' | 'SKIP', detail) for one job over a fresh PyFs."""
    skipped = missing_client(job)
    if skipped is not None:
        return "SKIP", skipped
    pyfs = quorvex.PyFs()
    qfs = fsspec.filesystem("quorvex", fs=pyfs)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            job.run(pyfs, qfs)
    except Exception as error:  # noqa: BLE001 - every failure is a row of the table
        return "FAIL", describe(error)
    finally:
        QuorvexFileSystem.clear_instance_cache()
    return "PASS", ""


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="skip jobs that start processes")
    parser.add_argument("--only", nargs="+", metavar="WORD",
                        help="jobs whose name contains one of these words")
    args = parser.parse_args(argv)
    width = max(len(job.name) for job in JOBS) + 2
    failed = 0
    for job in JOBS:
        if args.quick and not job.quick:
            continue
        if args.only and not any(word in job.name for word in args.only):
            continue
        outcome, detail = run_job(job)
        failed += outcome == "FAIL"
        print(f"{job.name:<{width}}{outcome}  {detail}".rstrip(), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
