#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the core's own C++ checks,
# then the Python suite against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S tests/cpp -B build/cpp-tests "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests >/dev/null
for check in build/cpp-tests/*_equivalence; do
    "$check"
done

exec .venv/bin/python -m pytest -q "$@"
