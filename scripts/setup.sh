#!/usr/bin/env bash
# Sets up .venv (Python 3.12) with the build and test tools and installs ostik
# into it from this checkout. Safe to run again: it only rebuilds.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/find_python.sh

for tool in pkg-config cmake g++; do
    command -v "$tool" >/dev/null || { echo "missing $tool: install it (see README.md)" >&2; exit 1; }
done
pkg-config --exists yaml-0.1 || { echo "missing libyaml development files (libyaml-dev)" >&2; exit 1; }
pkg-config --exists icu-uc || { echo "missing ICU development files (libicu-dev)" >&2; exit 1; }

if [ ! -x .venv/bin/python ]; then
    $(find_python) -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" pytest hypothesis mypy
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
