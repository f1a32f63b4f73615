#!/usr/bin/env bash
# Installs the missing system packages, sets up .venv (Python 3.12) with the
# build and test tools and installs ostik into it from this checkout. Safe to
# run again: it only rebuilds.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/find_python.sh

# The compiler, CMake and the libraries' development files (scripts/system-packages.txt).
bash scripts/install_system_packages.sh

if [ ! -x .venv/bin/python ]; then
    $(find_python) -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r tests/requirements.txt
# A kept build folder makes a rebuild after a change compile only what changed.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation -C build-dir=build/venv .
