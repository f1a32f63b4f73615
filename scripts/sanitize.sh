#!/usr/bin/env bash
# Builds ostik with AddressSanitizer and UndefinedBehaviorSanitizer (g++,
# CMake option OSTIK_SANITIZE) into its own venv, .venv-sanitize, and runs the
# whole test suite under it. Extra arguments go to pytest:
#
#   scripts/sanitize.sh                 # the default suite
#   scripts/sanitize.sh -m slow         # also the opt-in leak checks
#
# The interpreter itself is not instrumented, so g++'s libasan is preloaded
# (with libstdc++, see below).
# Leak detection is off: the interpreter keeps memory until exit by design and
# would drown real reports; leaks are checked by tests/test_leaks.py instead.
# Python's small-object allocator is bypassed (PYTHONMALLOC=malloc) so ASan
# sees every object allocation, and any UB report ends the run. pytest captures
# only Python's sys.stdout/stderr (--capture=sys), so a sanitizer report, which
# is written to file descriptor 2 just before the process ends, stays visible.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/find_python.sh

venv=.venv-sanitize
if [ ! -x $venv/bin/python ]; then
    $(find_python) -m venv $venv
fi
$venv/bin/python -m pip install -q --disable-pip-version-check -r tests/requirements.txt
$venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C cmake.define.OSTIK_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build-sanitize .

libasan=$(g++ -print-file-name=libasan.so)
[ -f "$libasan" ] || { echo "g++'s libasan.so not found" >&2; exit 1; }
# libstdc++ is preloaded too: ASan looks up the C++ runtime's __cxa_throw when
# it starts, and the interpreter does not link it, so without this the first
# C++ exception thrown in an extension module aborts the process.
libstdcxx=$(g++ -print-file-name=libstdc++.so.6)
[ -f "$libstdcxx" ] || { echo "g++'s libstdc++.so.6 not found" >&2; exit 1; }

LD_PRELOAD="$libasan $libstdcxx" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:check_initialization_order=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc \
exec $venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys "$@"
