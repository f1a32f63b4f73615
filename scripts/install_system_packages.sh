#!/usr/bin/env bash
# Installs the system packages listed in scripts/system-packages.txt (or the
# list file given) that are not installed yet. When nothing is missing it asks
# dpkg only and never runs apt-get. It installs with apt-get when run as root,
# with sudo when sudo needs no password; otherwise it stops with exit status 2
# and prints the command to run.
set -euo pipefail

list=${1:-"$(dirname "$0")/system-packages.txt"}
packages=()
while read -r line; do
    line=${line%%#*}
    for name in $line; do packages+=("$name"); done
done <"$list"
[ ${#packages[@]} -gt 0 ] || exit 0

if ! command -v dpkg-query >/dev/null; then
    echo "note: not a Debian-based system, so the system packages cannot be checked;" \
         "make sure the equivalents of these are installed: ${packages[*]}" >&2
    exit 0
fi

# One dpkg query for all of them; a name dpkg has never heard of prints nothing.
declare -A installed=()
while IFS=$'\t' read -r name status; do
    [ "${status:0:2}" = ii ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package}\t${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null || true)

missing=()
for name in "${packages[@]}"; do
    [ -n "${installed[$name]:-}" ] || missing+=("$name")
done
[ ${#missing[@]} -gt 0 ] || exit 0

# Wait for another apt or dpkg run to finish rather than fail at once on its lock.
apt_options=(-y -q -o DPkg::Lock::Timeout=300)
if [ "$(id -u)" -eq 0 ]; then
    run=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    run=(sudo)
else
    echo "ostik needs these system packages, which are not installed: ${missing[*]}" >&2
    echo "Install them (this needs root), then run this again:" >&2
    echo "    sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 2
fi
echo "installing system packages: ${missing[*]}" >&2
"${run[@]}" apt-get update -q -o DPkg::Lock::Timeout=300 >&2
"${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install "${apt_options[@]}" --no-install-recommends "${missing[@]}" >&2
