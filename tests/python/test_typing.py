"""The type stub of quorvex: it agrees with the compiled module, mypy accepts typed
code against it and refuses misuse, and an installed distribution ships it."""
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import quorvex

if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed (pip install '.[test]')", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]
STUB_DIR = ROOT / "python"
TIMEOUT = 300


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(args, cache_dir, use_source_stub=True, cwd=ROOT):
    env = dict(os.environ)
    # The child must import the very module this test imported.
    module_dir = str(Path(quorvex.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    env["MYPY_CACHE_DIR"] = str(cache_dir)
    env.pop("MYPYPATH", None)
    if use_source_stub:
        env["MYPYPATH"] = str(STUB_DIR)
    result = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                            env=env, cwd=cwd, timeout=TIMEOUT)
    return result.returncode, result.stdout + result.stderr


def test_stub_agrees_with_the_compiled_module(cache_dir):
    status, output = run_mypy(
        ["mypy.stubtest", "quorvex", "--allowlist", str(STUB_DIR / "stubtest_allowlist.txt")],
        cache_dir)
    assert status == 0, output


def test_typed_code_passes_strict_checking(cache_dir):
    status, output = run_mypy(
        ["mypy", "--strict", "examples/typed_usage.py", "python/quorvex_shell.py",
         "examples/typed_files.py", "python/quorvex_fs"], cache_dir)
    assert status == 0, output


MISUSES = {
    "remove_without_recurse": 'fs.remove("/a")',
    "recurse_as_int": 'fs.remove("/a", 1)',
    "whence_as_int": "handle.seek(0, 0)",
    "write_str": 'handle.write("text")',
    "read_returns_bytes": "text: str = handle.read(4)",
    "tree_indent_keyword": 'fs.tree("/", indent="  ")',
    "term_needs_fs": "quorvex.PyTerm()",
    "classes_are_final": "class MyFs(quorvex.PyFs): pass",
    "readinto_needs_a_buffer": "handle.readinto(4)",
    "binary_files_read_bytes": 'text2: str = quorvex_fs.open(fs, "/a", "rb").read()',
    "text_files_read_str": 'data: bytes = quorvex_fs.open(fs, "/a").read()',
    "layer_needs_the_fs": 'quorvex_fs.open("/a")',
}


def test_stub_refuses_misuse(tmp_path, cache_dir):
    lines = ["import quorvex", "import quorvex_fs",
             "fs = quorvex.PyFs()",
             'handle = fs.open("/a", "rw")',
             "term = quorvex.PyTerm(fs)"]
    first = len(lines) + 1
    lines += MISUSES.values()
    (tmp_path / "misuse.py").write_text("\n".join(lines) + "\n")
    status, output = run_mypy(["mypy", "--strict", "misuse.py"], cache_dir, cwd=tmp_path)
    assert status == 1, output
    flagged = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error", output, re.M)}
    missed = [name for line, name in enumerate(MISUSES, first) if line not in flagged]
    assert not missed, output


def installed_distribution():
    """The distribution that the imported quorvex came from, if it was installed."""
    from importlib import metadata

    try:
        dist = metadata.distribution("quorvex")
    except metadata.PackageNotFoundError:
        return None
    loaded = Path(quorvex.__file__).resolve()
    if not any(Path(dist.locate_file(f)).resolve() == loaded for f in dist.files or []):
        return None
    return dist


def test_installed_distribution_ships_types(tmp_path, cache_dir):
    dist = installed_distribution()
    if dist is None:
        pytest.skip("quorvex is imported from a build tree, not from an installation")
    files = {str(f).replace("\\", "/") for f in dist.files}
    assert {"quorvex-stubs/__init__.pyi", "quorvex_shell.py",
            "quorvex_fs/__init__.py", "quorvex_fs/py.typed"} <= files
    # The stub ships once, as the stub package.
    assert not any(f.endswith(".pyi") for f in files - {"quorvex-stubs/__init__.pyi"})
    assert [e.value for e in dist.entry_points if e.name == "quorvex-shell"] == \
        ["quorvex_shell:main"]
    assert {(e.group, e.name, e.value) for e in dist.entry_points} >= {
        ("pytest11", "quorvex", "quorvex_fs.pytest_plugin"),
        ("fsspec.specs", "quorvex", "quorvex_fs.fsspec_fs:QuorvexFileSystem"),
    }
    # Away from the source tree, mypy must find the installed stub on its own.
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        import quorvex
        reveal_type(quorvex.PyFs().listdir("/"))
    """))
    status, output = run_mypy(["mypy", "--strict", "use.py"], cache_dir,
                              use_source_stub=False, cwd=tmp_path)
    assert status == 0, output
    # Older mypy versions qualify the names with builtins; for Python 3.8, whose tuple
    # is not generic, mypy names it Tuple.
    expected = "tuple[list[str], list[str]]" if sys.version_info >= (3, 9) else \
        "Tuple[list[str], list[str]]"
    assert expected in output.replace("builtins.", "")
