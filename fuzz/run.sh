#!/usr/bin/env bash
# Builds the libFuzzer harnesses and runs each for SECONDS (default 60), one
# after the other, at the lowest priority. Working corpora, logs and findings
# go to build-fuzz/ (not committed); the committed seeds in fuzz/corpus/ are
# read, never written.
#
#   fuzz/run.sh 1800                 # every harness, 30 minutes each
#   fuzz/run.sh 600 policy_fuzzer    # one harness
#   fuzz/run.sh 600 python_readers   # the property-based fuzzer of the trace readers
#                                    # (tests/test_fuzz_readers.py) with fresh seeds
#
# Needs clang 16 or later with libFuzzer (clang 14 and 15 cannot compile the
# core: they lack the conditionally trivial destructors libstdc++ 12's
# std::expected relies on). Debian 12 has clang 19:
#   apt-get install clang-19 libclang-rt-19-dev
# (CXX=clang++-16 or the like picks another clang). A finding stops that harness and leaves
# build-fuzz/artifacts/<harness>/crash-* (or timeout-*, oom-*, leak-*):
# minimise it with -minimize_crash=1, fix, and commit the reproducer under
# fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(policy_fuzzer json_fuzzer bytes_fuzzer pattern_fuzzer python_readers)

# The readers of trace files in Python: hypothesis, run seed after seed for
# SECONDS against the installed package (bash scripts/setup.sh first). A
# failure stops it with hypothesis' smallest example and its seed.
run_python_readers() {
    local end=$((SECONDS + seconds)) runs=0
    echo "== python_readers for ${seconds}s"
    while [ $SECONDS -lt $end ]; do
        OSTIK_FUZZ_EXAMPLES=${OSTIK_FUZZ_EXAMPLES:-2000} nice -n 19 .venv/bin/python -m pytest -q -x \
            -p no:cacheprovider --hypothesis-seed="$RANDOM$RANDOM" tests/test_fuzz_readers.py
        runs=$((runs + 1))
    done
    echo "python_readers: $runs runs"
}
if [ "${harnesses[*]}" = python_readers ]; then
    run_python_readers  # needs no clang
    exit 0
fi

cxx=${CXX:-}
if [ -z "$cxx" ]; then
    for candidate in clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
        if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
    done
fi
[ -n "$cxx" ] || { echo "no clang++ found: apt-get install clang-19 libclang-rt-19-dev" >&2; exit 1; }

build=build-fuzz
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE= >/dev/null
nice -n 19 cmake --build "$build" -j2

for harness in "${harnesses[@]}"; do
    if [ "$harness" = python_readers ]; then
        run_python_readers
        continue
    fi
    case $harness in
        policy_fuzzer) seeds=fuzz/corpus/policy; extra=(-dict=fuzz/yaml.dict -max_len=16384) ;;
        json_fuzzer) seeds=fuzz/corpus/json; extra=(-max_len=8192) ;;
        bytes_fuzzer) seeds=fuzz/corpus/bytes; extra=(-max_len=4096) ;;
        pattern_fuzzer) seeds=fuzz/corpus/pattern; extra=(-dict=fuzz/regex.dict -max_len=1100) ;;
        *) echo "unknown harness $harness" >&2; exit 1 ;;
    esac
    corpus=$build/corpus/$harness
    artifacts=$build/artifacts/$harness
    mkdir -p "$corpus" "$artifacts"
    echo "== $harness for ${seconds}s (corpus $corpus, log $build/$harness.log)"
    # Leaks are reported too; a run that reaches its time limit ends with status 0.
    status=0
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        nice -n 19 "$build/$harness" "${extra[@]}" -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$build/$harness.log" 2>&1 ||
        status=$?
    grep -E '^#[0-9]+ +(INITED|DONE)|ERROR|SUMMARY|stat::|Test unit written' "$build/$harness.log" || true
    echo "corpus: $(find "$corpus" -type f | wc -l) files"
    if [ "$status" -ne 0 ]; then
        echo "$harness stopped with status $status: see $build/$harness.log" >&2
        exit "$status"
    fi
done
