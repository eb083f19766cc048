"""What only the PyPy build does: its version check at import, and the work it does
itself where PyPy's emulation of the C API differs from CPython."""
import gc
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import pytest

import quorvex

pytestmark = pytest.mark.skipif(
    platform.python_implementation() != "PyPy",
    reason="checks of the PyPy build; its version check is not compiled for CPython",
)

OLD_PYPY_WARNING = (
    "PyPy 3.7 versions older than 7.3.8 are known to have binary compatibility issues "
    "which may cause segfaults. Please upgrade."
)

# Run in a fresh interpreter, since the module is initialised once per process: report,
# as JSON, the warnings that importing the module issued, or the exception it raised.
IMPORT_WITH_VERSION = """
import json, sys, types, warnings
implementation = dict(vars(sys.implementation))
version = json.loads(sys.argv[1])
if version is None:
    del implementation["version"]
else:
    implementation["version"] = tuple(version)
sys.implementation = types.SimpleNamespace(**implementation)
with warnings.catch_warnings(record=True) as caught:
    if not sys.warnoptions:
        warnings.simplefilter("always")
    try:
        import quorvex
    except BaseException as error:
        result = {"raised": [type(error).__name__, str(error)],
                  "registered": "quorvex" in sys.modules}
    else:
        fs = quorvex.PyFs()
        fs.mkdir("/usable")
        result = {"warnings": [[w.category.__name__, str(w.message)] for w in caught],
                  "usable": fs.listdir("/") == ([], ["usable"])}
print(json.dumps(result))
"""


def import_with_version(version, *options):
    env = dict(os.environ)
    paths = [str(Path(quorvex.__file__).parent)] + [p for p in [env.get("PYTHONPATH")] if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    result = subprocess.run(
        [sys.executable, *options, "-c", IMPORT_WITH_VERSION, json.dumps(version)],
        capture_output=True, text=True, env=env, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_older_pypy_is_warned_about_and_the_module_still_loads():
    result = import_with_version([7, 3, 7, "final", 0])
    assert result == {"warnings": [["UserWarning", OLD_PYPY_WARNING]], "usable": True}


@pytest.mark.parametrize("version", [[7, 3, 8, "final", 0], [7, 3, 11, "final", 0], [8, 0, 0]])
def test_no_warning_from_7_3_8_on(version):
    assert import_with_version(version) == {"warnings": [], "usable": True}


def test_the_warning_as_an_error_fails_the_import():
    result = import_with_version([7, 3, 7, "final", 0], "-W", "error::UserWarning")
    assert result == {"raised": ["UserWarning", OLD_PYPY_WARNING], "registered": False}


def test_an_unreadable_version_fails_the_import():
    result = import_with_version(None)
    assert result["raised"][0] == "AttributeError"
    assert result["registered"] is False


def test_a_collected_handle_gives_its_lock_back(fs):
    fs.open("/f", "w").write(b"x")  # dropped unclosed: PyPy destroys it when it collects
    gc.collect()
    handle = fs.open("/f", "r")
    assert handle.read(1) == b"x"


@pytest.fixture(params=["fs", "handle", "term", "whence"])
def instance(request, fs):
    make = {
        "fs": lambda: fs,
        "handle": lambda: fs.open("/f", "w"),
        "term": lambda: quorvex.PyTerm(fs),
        "whence": lambda: quorvex.Whence.SEEK_END,
    }
    return make[request.param]()


def test_instances_take_no_attributes(instance):
    name = type(instance).__name__
    with pytest.raises(AttributeError, match=f"^'{name}' object has no attribute 'extra'$"):
        instance.extra = 1
    with pytest.raises(AttributeError, match="is read-only$"):
        instance.__str__ = None
    with pytest.raises(AttributeError):
        del instance.extra
    assert not hasattr(instance, "extra")
