#!/usr/bin/env bash
# Fetches the Python packaging and typing tools the test command needs
# (scikit-build-core with its two dependencies, mypy with its five) from
# Debian's unstable suite into a cache folder, without installing anything
# system-wide, and prints the folder to put on PYTHONPATH. PyPI may be out of
# reach; Debian's archive is not. The packages are pure Python except mypy and
# two of its dependencies, which are compiled for CPython 3.14 and 3.15 and so
# run only there (the type checks run on the newest interpreter).
#
# Usage: scripts/python-tools.sh   -> prints the site folder on stdout
set -euo pipefail

suite=sid
# One folder per suite: checkouts that take the tools from another suite
# share the parent folder.
cache=${AXIOLINK_TOOLS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/axiolink/python-tools/$suite}
packages=(python3-scikit-build-core python3-pathspec python3-packaging python3-mypy
    python3-mypy-extensions python3-typing-extensions python3-ast-serialize python3-librt
    python3-psutil)
site=$cache/site
stamp=$site/.packages

mkdir -p "$cache"
exec {lock}>>"$cache/lock"
flock "$lock"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$suite ${packages[*]}" ]; then
    echo "$site"
    exit 0
fi

echo "fetching ${packages[*]} from Debian $suite into $cache" >&2
# shellcheck source=tools/vbus/debian-packages.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tools/vbus/debian-packages.sh"
rm -rf "$site" "$cache/root"
debian_packages "$suite" "$(dpkg --print-architecture)" "$cache/apt" "$cache/root" "${packages[@]}" >&2
mv "$cache/root/usr/lib/python3/dist-packages" "$site"
rm -rf "$cache/root"
echo "$suite ${packages[*]}" >"$stamp"
echo "$site"
