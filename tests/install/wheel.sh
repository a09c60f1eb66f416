#!/usr/bin/env bash
# Builds the wheel for one interpreter the way pip does, offline (the build
# backend comes from TOOLS, not from an index), checks what it holds, and
# installs it into a fresh virtual environment WORK/venv for the tests after it.
# With --no-venv first, the wheel is for another machine (board.sh installs it
# there) and only built and checked.
# Usage: wheel.sh [--no-venv] PYTHON TOOLS SOURCE WORK [PIP_WHEEL_ARGS...]
set -euo pipefail
venv=yes
[[ ${1:-} == --no-venv ]] && { venv=no; shift; }
python=$1 tools=$2 source=$3 work=$4
shift 4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

rm -rf "$work/dist" "$work/venv"
# The CMake build folder stays between runs, so a rerun only rebuilds what changed.
PYTHONPATH=$tools "$python" -m pip wheel --no-build-isolation --no-index --no-deps \
    --config-settings=build-dir="$work/cmake" "$@" -w "$work/dist" "$source"
wheels=("$work/dist"/axiolink-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found: ${wheels[*]}" >&2; exit 1; }
"$python" -I "$here/check_wheel.py" "${wheels[0]}"

[[ $venv == yes ]] || exit 0

# The building interpreter's pip installs into the environment: Debian's
# interpreters bring their own pip's wheel only where they are installed.
"$python" -m venv --without-pip "$work/venv"
"$python" -m pip --python "$work/venv/bin/python" install --no-index --no-deps "${wheels[0]}"
