#!/usr/bin/env bash
# Sets everything up and runs ostik on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/run_example.py "$@"
