"""The quick jobs of benchmarks/client_jobs.py: real data clients over quorvex://.

The clients are not in the test extra; a job whose client is missing is skipped.
"""

import importlib.util
import sys
from pathlib import Path

import pytest

pytest.importorskip("fsspec")

_source = Path(__file__).resolve().parents[2] / "benchmarks" / "client_jobs.py"
_spec = importlib.util.spec_from_file_location("client_jobs", _source)
client_jobs = sys.modules["client_jobs"] = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(client_jobs)

# Jobs that need the layer's files on the core's non-blocking opens, or a dask token for
# a PyFs; each comes off this list once it passes. The overwrite fails only when pandas
# leaves its reader in a reference cycle.
AWAITING_REBUILD = {
    "pandas parquet overwrite x100",
    "dask read_parquet storage_options",
}


def _param(job):
    marks = [pytest.mark.xfail(reason="needs the rebuilt layer")] if (
        job.name in AWAITING_REBUILD) else []
    return pytest.param(job, id=job.name, marks=marks)


@pytest.mark.parametrize("job", [_param(job) for job in client_jobs.JOBS if job.quick])
def test_client_job(job):
    outcome, detail = client_jobs.run_job(job)
    if outcome == "SKIP":
        pytest.skip(detail)
    assert outcome == "PASS", detail
