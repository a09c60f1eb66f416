#!/usr/bin/env bash
# Unpacks CPython 3.14 and 3.15 (with headers, venv and pip) and 3.14's debug
# build from Debian's unstable suite into a root below the cache folder, and
# prints the root: its interpreters are ROOT/usr/bin/python3.14, python3.15
# and python3.14d.
#
# Their binaries need unstable's C library. Rather than entering the root
# (chroot or a mount namespace, where the build trees and the guest of the bus
# tests would have to be mounted in) or building CPython from source (minutes
# of both cores per version, and not the build users get), each interpreter
# is pointed at the root's own loader and libraries, as the UML kernel of
# tools/vbus/vbus-run is. It then runs from the host, inside the UML guest
# (whose root is the host's) and from virtual environments, with paths that
# are the same everywhere, and reports its headers and library where they are.
#
# NumPy comes from the same suite into the same root, for the interpreters
# unstable builds it for (3.14 and 3.15), where the tests of the NumPy support
# run. It is added to a finished root on its own, with a mark of its own
# inside the root, so that a root made before it is completed, not made anew.
#
# Usage: scripts/debian-pythons.sh   -> prints the root on stdout
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${AXIOLINK_DEBIAN_PYTHONS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/axiolink/debian-pythons}
suite=sid
arch=$(dpkg --print-architecture)
pythons=(python3.14 python3.15 python3.14d)
packages=(python3.14 python3.15 libpython3.14-dev libpython3.15-dev python3.14-venv
    python3.15-venv python3-pip python3.14-dbg libstdc++6)
# NumPy and the libraries it loads; everything else it needs is in the root
# already. Named without their dependencies: unpacking the interpreters again
# would undo their patched loader.
numpy_packages=(python3-numpy python3-numpy-dev libblas3 liblapack3 libgfortran5)
root=$cache/root
want="$suite $arch ${packages[*]}"
numpy_stamp=$root/.numpy.stamp

mkdir -p "$cache"
exec {lock}>>"$cache/lock"
flock "$lock"
# shellcheck source=tools/vbus/debian-packages.sh
source "$here/../tools/vbus/debian-packages.sh"

add_numpy() {
    [[ -e $numpy_stamp && $(<"$numpy_stamp") == "${numpy_packages[*]}" ]] && return 0
    echo "fetching NumPy from Debian $suite into $root" >&2
    debian_packages "$suite" "$arch" "$cache/apt" "$root" "${numpy_packages[@]}" >&2
    # The packages' maintainer scripts would make these links (through
    # update-alternatives); the interpreters' search path is this folder.
    local lib name python
    lib=$root/usr/lib/$(gcc -print-multiarch)
    for name in blas/libblas.so.3 lapack/liblapack.so.3; do
        ln -sfn "$name" "$lib/${name#*/}"
    done
    for python in python3.14 python3.15; do
        "$root/usr/bin/$python" -m compileall -q -j 0 "$root/usr/lib/python3/dist-packages/numpy" \
            >/dev/null || true
    done
    echo "${numpy_packages[*]}" >"$numpy_stamp"
}

if [[ -e $root.stamp && $(<"$root.stamp") == "$want" ]]; then
    add_numpy
    echo "$root"
    exit 0
fi
command -v patchelf >/dev/null || {
    # shellcheck source=scripts/common.sh
    source "$here/common.sh"
    install_missing_packages patchelf
}

echo "fetching CPython 3.14 and 3.15 from Debian $suite into $cache" >&2
rm -rf -- "$root" "$root.stamp"
debian_packages --with-dependencies "$suite" "$arch" "$cache/apt" "$root" "${packages[@]}" >&2
# The loader the binary names, and DT_RPATH (not RUNPATH: it must hold for
# the libraries of every extension module the interpreter loads, too).
# The root has no /lib64 -> usr/lib64 links: they are made at installation.
for python in "${pythons[@]}"; do
    binary=$(readlink -f -- "$root/usr/bin/$python")
    loader=$(patchelf --print-interpreter "$binary")
    [[ -e $root$loader ]] || loader=/usr$loader
    patchelf --set-interpreter "$root$loader" \
        --force-rpath --set-rpath "$root/usr/lib/$(gcc -print-multiarch)" "$binary"
done
# Unpacked packages carry no byte code, and the tests run with
# PYTHONDONTWRITEBYTECODE: without it, every start compiles the library anew.
# The debug build shares the byte code of its release build.
for python in python3.14 python3.15; do
    "$root/usr/bin/$python" -m compileall -q -j 0 -x '/(test|idlelib|tkinter|lib2to3)/' \
        "$root/usr/lib/$python" "$root/usr/lib/python3/dist-packages" >/dev/null || true
done
echo "$want" >"$root.stamp"
add_numpy
echo "$root"
