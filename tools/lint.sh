#!/usr/bin/env bash
# Static checks, each at a pinned version so that a new release never changes the verdict:
#   format     clang-format over every C++ file (the repository's .clang-format)
#   printable  src/fs/printable.cpp regenerated from its pinned Unicode version, diffed
#   tidy       clang-tidy over src/ (the checks in .clang-tidy), from the dev build's
#              compile commands
# The tools come from PyPI into build/lint-venv, installed there when missing.
#
#   tools/lint.sh            # all three
#   tools/lint.sh format     # one of them
set -euo pipefail
cd "$(dirname "$0")/.."

CLANG_FORMAT_VERSION=23.1.5
CLANG_TIDY_VERSION=23.1.4
venv=build/lint-venv

tool() { # tool NAME VERSION: the path of the pinned tool, installed if need be
    local name="$1" version="$2"
    if ! "$venv/bin/$name" --version 2>/dev/null | grep -q "version $version"; then
        [[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "$name==$version"
    fi
    echo "$venv/bin/$name"
}

cxx_files() { git ls-files '*.cpp' '*.hpp' '*.h'; }

check_format() {
    local clang_format
    clang_format="$(tool clang-format "$CLANG_FORMAT_VERSION")"
    cxx_files | xargs "$clang_format" --dry-run --Werror
    echo "format: $(cxx_files | wc -l) files formatted"
}

check_printable() {
    # Any interpreter whose Unicode data is the pinned version will do.
    local python version
    version="$(sed -n 's/^PINNED_UNICODE = "\(.*\)"$/\1/p' tools/gen_printable.py)"
    for python in python3 python3.11 /root/.pyenv/versions/3.11*/bin/python; do
        command -v "$python" >/dev/null 2>&1 || continue
        if [[ "$("$python" -c 'import unicodedata; print(unicodedata.unidata_version)')" == "$version" ]]; then
            "$python" tools/gen_printable.py --output - | diff -u src/fs/printable.cpp -
            echo "printable: the table matches Unicode $version"
            return
        fi
    done
    echo "printable: no Python with Unicode $version found" >&2
    return 1
}

check_tidy() {
    local clang_tidy
    clang_tidy="$(tool clang-tidy "$CLANG_TIDY_VERSION")"
    cmake --preset dev >/dev/null # writes build/dev/compile_commands.json
    git ls-files 'src/*.cpp' | xargs -P 2 -n 4 "$clang_tidy" -p build/dev --quiet
    echo "tidy: no findings"
}

case "${1:-all}" in
format) check_format ;;
printable) check_printable ;;
tidy) check_tidy ;;
all) check_format && check_printable && check_tidy ;;
*) echo "usage: $0 [format|printable|tidy|all]" >&2; exit 2 ;;
esac
