#!/usr/bin/env bash
# Fetches the Python packaging and typing tools the test command needs
# (scikit-build-core with its two dependencies, mypy with its two) from
# Debian's trixie suite into a cache folder, without installing anything
# system-wide, and prints the folder to put on PYTHONPATH. PyPI may be out of
# reach; Debian's archive is not. The packages are pure Python except mypy,
# which is compiled for CPython 3.13 and so runs only there.
#
# Usage: scripts/python-tools.sh   -> prints the site folder on stdout
set -euo pipefail

cache=${AXIOLINK_TOOLS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/axiolink/python-tools}
suite=trixie
packages=(python3-scikit-build-core python3-pathspec python3-packaging
    python3-mypy python3-mypy-extensions python3-typing-extensions)
site=$cache/site
stamp=$site/.packages

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$suite ${packages[*]}" ]; then
    echo "$site"
    exit 0
fi

apt_root=$cache/apt
mkdir -p "$apt_root/etc/empty.d" "$apt_root/lists/partial" "$apt_root/cache/archives/partial" "$apt_root/debs"
touch "$apt_root/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb [signed-by=$keyring] http://deb.debian.org/debian $suite main" >"$apt_root/etc/sources.list"
# Everything apt reads or writes points into the cache folder: the machine's
# own sources, preferences, package state and locks are left alone.
apt_options=(
    -o "Dir::Etc::SourceList=$apt_root/etc/sources.list"
    -o "Dir::Etc::SourceParts=$apt_root/etc/empty.d"
    -o "Dir::Etc::Preferences=$apt_root/etc/preferences"
    -o "Dir::Etc::PreferencesParts=$apt_root/etc/empty.d"
    -o "Dir::State::Lists=$apt_root/lists"
    -o "Dir::State::status=$apt_root/status"
    -o "Dir::Cache=$apt_root/cache"
    -o "APT::Sandbox::User=root"
    -o "Debug::NoLocking=1"
)
echo "fetching ${packages[*]} from Debian $suite into $cache" >&2
apt-get "${apt_options[@]}" -qq update >&2
(cd "$apt_root/debs" && rm -f ./*.deb && apt-get "${apt_options[@]}" -qq download "${packages[@]}" >&2)

rm -rf "$site" "$cache/root"
mkdir -p "$cache/root"
for deb in "$apt_root/debs"/*.deb; do
    dpkg-deb -x "$deb" "$cache/root"
done
mv "$cache/root/usr/lib/python3/dist-packages" "$site"
rm -rf "$cache/root"
echo "$suite ${packages[*]}" >"$stamp"
echo "$site"
