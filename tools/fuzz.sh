#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for SECONDS (default
# 30) on a copy of its seed corpus in fuzz/corpus/<target>. Fails on any crash, leak,
# sanitizer report or broken check.
#
#   tools/fuzz.sh            # 30 s per target
#   tools/fuzz.sh 3600       # an hour per target
#
# For a longer or parallel session on one target, run it directly, e.g.
#   build/fuzz/fuzz/ops_fuzz -jobs=4 -workers=4 -max_total_time=36000 build/fuzz/work/ops_fuzz
# and fold what it found into the kept corpus with
#   tools/fuzz.sh --merge ops_fuzz   # fuzz/corpus/ops_fuzz := a minimal set with the same coverage
# (libFuzzer's -merge=1 keeps only the inputs that add coverage). A crashing input is written to build/fuzz/artifacts/ and
# replays with build/fuzz/fuzz/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure.sh

# clang with libFuzzer: links a target that does nothing.
has_libfuzzer() {
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null -
}
ensure_debian_packages has_libfuzzer clang libclang-rt-dev
if ! cmake_is_recent; then
    ensure_python
    ensure_build_tools "$python"
fi

seconds="${1:-30}"
build=build/fuzz
targets=(split_fuzz path_fuzz mode_fuzz ops_fuzz)
# Sequences of operations need room: inputs may grow to 4 KiB, and lengthen quickly
# rather than after libFuzzer's usual long stay at short sizes.
declare -A target_flags=([ops_fuzz]="-max_len=4096 -len_control=10")

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEX_BUILD_PYTHON=OFF -DQUORVEX_BUILD_FUZZERS=ON -DQUORVEX_WERROR=ON
cmake --build "$build" --parallel "${FUZZ_BUILD_JOBS:-2}" --target "${targets[@]}"

if [[ $seconds == --merge ]]; then
    # The kept corpus and everything the last runs found, reduced to the inputs that add
    # coverage, become the kept corpus (of the targets named, or of all).
    shift
    (($#)) && targets=("$@")
    for target in "${targets[@]}"; do
        merged="$build/merged/$target"
        rm -rf "$merged"
        mkdir -p "$merged"
        found=()
        [[ -d $build/work/$target ]] && found=("$build/work/$target")
        # shellcheck disable=SC2086
        "$build/fuzz/$target" -merge=1 ${target_flags[$target]:-} "$merged" \
            fuzz/corpus/"$target" "${found[@]}" >"$build/$target.merge.log" 2>&1
        # The named seeds stay as they are, for the reader.
        find fuzz/corpus/"$target" -type f -regextype egrep -regex '.*/[0-9a-f]{40}' -delete
        cp "$merged"/* fuzz/corpus/"$target"/
        echo "$target: $(find fuzz/corpus/"$target" -type f | wc -l) inputs, $(du -sh fuzz/corpus/"$target" | cut -f1)"
    done
    exit 0
fi

mkdir -p "$build/artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
failed=()
summary=()
for target in "${targets[@]}"; do
    work="$build/work/$target"
    rm -rf "$work"
    mkdir -p "$work"
    cp fuzz/corpus/"$target"/* "$work"/
    log="$build/$target.log"
    echo "== $target: ${seconds}s"
    # shellcheck disable=SC2086 # the flags are words
    if "$build/fuzz/$target" -max_total_time="$seconds" -detect_leaks=1 -timeout=10 \
        ${target_flags[$target]:-} -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$work" >"$log" 2>&1; then
        summary+=("$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)")
    else
        failed+=("$target")
        summary+=("$target: FAILED (see $log)")
        tail -n 40 "$log"
    fi
done

printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
