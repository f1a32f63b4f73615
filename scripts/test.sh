#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the core's own C++ checks,
# a strict type check of the stubs, a strict build of the docs, the Python
# suite against the installed package, then the wheel built from the sdist.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# What only the tests need (a headless browser for the report page's tests),
# kept apart from what building needs.
bash scripts/install_system_packages.sh scripts/test-packages.txt

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S tests/cpp -B build/cpp-tests "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
# Quiet when it builds; the whole log when it does not.
if ! build_log=$(cmake --build build/cpp-tests 2>&1); then
    printf '%s\n' "$build_log" >&2
    exit 1
fi
for check in build/cpp-tests/*_equivalence; do
    "$check"
done

# The type stubs must hold for the examples and the package's own Python code.
.venv/bin/python -m mypy --strict examples python/ostik

# The documentation site, strict: a broken link or anchor, or a page left out
# of mkdocs.yml's navigation, fails the run. Quiet when it builds.
if ! docs_log=$(NO_MKDOCS_2_WARNING=1 .venv/bin/python -m mkdocs build --strict 2>&1); then
    printf '%s\n' "$docs_log" >&2
    exit 1
fi

# Arguments narrow the run to pytest with them; without any, the packaging
# check follows the rest: it builds the sdist and a repaired wheel from it,
# installs that into a fresh venv and runs it there (pytest -m wheel).
if [ $# -gt 0 ]; then
    exec .venv/bin/python -m pytest -q "$@"
fi
.venv/bin/python -m pytest -q
exec .venv/bin/python -m pytest -q -m wheel
