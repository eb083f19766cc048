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


@pytest.mark.parametrize("job", [pytest.param(job, id=job.name)
                                 for job in client_jobs.JOBS if job.quick])
def test_client_job(job):
    outcome, detail = client_jobs.run_job(job)
    if outcome == "SKIP":
        pytest.skip(detail)
    assert outcome == "PASS", detail
