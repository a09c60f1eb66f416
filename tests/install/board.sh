#!/usr/bin/env bash
# What a user does on a board with a wheel built elsewhere: pip installs it
# into a fresh virtual environment, and the Python suite then runs against the
# installed copy. Run on the emulated ARM machine.
# Usage: board.sh PYTHON DIST SOURCE    (DIST: the folder with the one wheel)
set -euo pipefail
python=$1 dist=$2 source=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wheels=("$dist"/axiolink-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found: ${wheels[*]}" >&2; exit 1; }

venv=$(mktemp -d)/venv
"$python" -m venv --without-pip "$venv"
# The system's pip (Debian's python3-pip) installs into the environment, as
# the host's does in wheel.sh.
"$python" -m pip --python "$venv/bin/python" install --no-index --no-deps "${wheels[0]}"
"$venv/bin/python" -I -B "$here/check_installed.py"
"$venv/bin/python" -I -B -m unittest discover -s "$source/tests/python" -t "$source/tests/python"
