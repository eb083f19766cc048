import gc
import importlib
import importlib.util
import platform
import re
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

import quorvex

# Not installed: use the pure-Python modules of the source tree beside the build.
if importlib.util.find_spec("quorvex_fs") is None:
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))


def pytest_configure(config):
    # An installation registers the fixtures through its pytest11 entry point.
    if not config.pluginmanager.hasplugin("quorvex"):
        config.pluginmanager.register(importlib.import_module("quorvex_fs.pytest_plugin"),
                                      "quorvex")

# Under the sanitizers and PyPy every call is many times slower; the generated inputs
# are the same, so the speed health check would only report the build, not a fault.
settings.register_profile("ci", suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("ci")


if platform.python_implementation() == "PyPy":

    @pytest.fixture(autouse=True)
    def collect_dropped_handles():
        """PyPy destroys an unreachable file handle, and so frees its file's lock, only
        when its collector runs; CPython does it at once. Collect before every test so
        that handles an earlier test dropped unclosed hold no lock any more."""
        gc.collect()


@pytest.fixture
def fs():
    return quorvex.PyFs()


@pytest.fixture
def raises_exactly():
    """pytest.raises with the whole message compared, not searched."""

    def check(exception, message):
        return pytest.raises(exception, match="^" + re.escape(message) + "$")

    return check


# The rendering of a file system that holds only its root.
ROOT_ONLY = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", '
    "data: RwLock { data: Directory { children: [] }, poisoned: false, .. } }}, "
    "next_inode_id: 1 }"
)
