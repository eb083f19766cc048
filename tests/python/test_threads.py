"""Calls from many Python threads at once: on the free-threaded build they really run in
parallel. Each scenario runs in a child interpreter, so a crash or a deadlock fails one
test instead of the whole run."""

import json
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
STRESS = Path(__file__).with_name("thread_stress.py")
# Cheap where the interpreter lock serialises the calls; QUORVEX_THREAD_ROUNDS sets the
# rounds per thread for a heavy run.
ROUNDS = int(os.environ.get("QUORVEX_THREAD_ROUNDS", 400 if FREE_THREADED else 60))


def child_env():
    return {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


@pytest.mark.skipif(not FREE_THREADED, reason="only the free-threaded build can run without the GIL")
def test_import_leaves_the_gil_disabled():
    env = child_env()
    env.pop("PYTHON_GIL", None)  # the build's default, not a forced setting
    code = "import sys, quorvex; print(sys._is_gil_enabled())"
    # With warnings as errors, the RuntimeWarning of a module that turns the GIL back on
    # fails the import.
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True,
                          env=env, timeout=60)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    assert done.stdout == b"False\n"


@pytest.mark.parametrize("seed", [1, 2])
def test_threads_share_one_file_system(seed):
    done = subprocess.run(
        [sys.executable, str(STRESS), "--threads", "8", "--rounds", str(ROUNDS),
         "--seed", str(seed)],
        capture_output=True, env=child_env(), timeout=300)
    summary = json.loads(done.stderr.decode().strip().splitlines()[-1])
    assert done.returncode == 0 and summary["errors"] == [], summary
    assert summary["rounds"] > 0 and summary["passed"] > 0
    # Each read printed its line whole, however the threads interleaved.
    lines = done.stdout.decode().splitlines()
    assert len(lines) == summary["reads"]
    assert all(re.fullmatch(r"Read \d+ bytes from file", line) for line in lines)
    if FREE_THREADED:
        assert summary["gil"] is False


def test_handles_opened_on_many_threads_keep_their_file_system():
    import gc
    import threading

    import quorvex

    fs = quorvex.PyFs()
    count = 12  # more threads than the handles' shares are spread over
    for i in range(count):
        fs.touch(f"/f{i}")
    handles = [None] * count

    def open_one(i):
        handles[i] = fs.open(f"/f{i}", "rw")

    threads = [threading.Thread(target=open_one, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    del fs
    gc.collect()
    handles[0].write(b"kept")
    buffer = bytearray(8)
    assert handles[0].readinto(buffer) == 4 and buffer[:4] == b"kept"
    renders = {str(handle).split(", fs: ", 1)[1].rsplit(", offset: ", 1)[0] for handle in handles}
    assert len(renders) == 1 and f'name: "f{count - 1}"' in renders.pop()
    for handle in handles:
        handle.close()
