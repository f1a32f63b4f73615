#!/usr/bin/env bash
# Sets everything up and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The type stubs must hold for the examples and the package's own Python code.
.venv/bin/python -m mypy --strict examples python/ostik
exec .venv/bin/python -m pytest -q "$@"
