# Shared by the project's scripts: Debian packages, interpreter discovery and
# the build folder's compiler.

# How long apt waits for another package manager (a fresh desktop's unattended
# upgrades run for many minutes) before giving up, in seconds.
AXIOLINK_APT_LOCK_TIMEOUT=${AXIOLINK_APT_LOCK_TIMEOUT:-1800}

# The processes that hold a lock of the machine's package manager, one
# "PID (NAME)" a line. dpkg and apt lock with fcntl, which /proc/locks lists
# by inode; a line with "->" is a process waiting for a lock, not holding it.
package_lock_holders() {
    local file inode pid
    for file in /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock \
        /var/cache/apt/archives/lock; do
        inode=$(stat -c %i -- "$file" 2>/dev/null) || continue
        awk -v inode="$inode" '$2 != "->" { split($6, id, ":"); if (id[3] == inode) print $5 }' \
            /proc/locks 2>/dev/null
    done | sort -un | while read -r pid; do
        echo "$pid ($(cat "/proc/$pid/comm" 2>/dev/null || echo gone))"
    done
}

# Waits, saying so, until no other process holds the package manager's locks:
# apt-get's own lock time-out covers dpkg's lock but not the package lists'
# (apt-get update fails at once on those), and it waits without a word at -qq.
# Messages go to stderr: callers print paths on stdout, or silence apt there.
wait_for_package_manager() {
    local holders waited=0
    holders=$(package_lock_holders)
    [ -z "$holders" ] && return 0
    echo "waiting up to ${AXIOLINK_APT_LOCK_TIMEOUT} s (AXIOLINK_APT_LOCK_TIMEOUT) for another" \
        "package manager to finish; its lock is held by ${holders//$'\n'/, }" >&2
    while [ -n "$holders" ]; do
        if [ "$waited" -ge "$AXIOLINK_APT_LOCK_TIMEOUT" ]; then
            echo "error: the package manager is still busy after $waited s, its lock held by" \
                "${holders//$'\n'/, }: run this again once it has finished" >&2
            return 1
        fi
        sleep 2
        waited=$((waited + 2))
        [ $((waited % 60)) -eq 0 ] &&
            echo "still waiting for the package manager after $waited s: ${holders//$'\n'/, }" >&2
        holders=$(package_lock_holders)
    done
    echo "the package manager finished after $waited s; going on" >&2
}

# apt-get on the machine's own package state: after any other package manager
# has finished, and waiting for dpkg's lock should one start in between.
apt_get() {
    wait_for_package_manager || return 1
    apt-get -o DPkg::Lock::Timeout="$AXIOLINK_APT_LOCK_TIMEOUT" "$@"
}

# Installs the named Debian packages that are not installed yet.
install_missing_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing missing packages: ${missing[*]}" >&2
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: not root, cannot install: ${missing[*]}" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt_get install -y -qq "${missing[@]}" >/dev/null ||
        { apt_get update -qq && apt_get install -y -qq "${missing[@]}" >/dev/null; }
}

# The CPython versions the module supports, oldest first.
AXIOLINK_SUPPORTED_VERSIONS=(3.12 3.13 3.14 3.15)

# The real path of a CPython interpreter of version $1 (e.g. 3.12), found
# through AXIOLINK_PYTHON_3_12, pyenv, the PATH, or else in the root
# AXIOLINK_PYTHON_ROOT (scripts/debian-pythons.sh makes one); nothing and
# status 1 when there is none.
find_python() {
    local version=$1 override="AXIOLINK_PYTHON_${1//./_}" candidates=() candidate
    if [ -n "${!override:-}" ]; then
        candidates=("${!override}")
    else
        if command -v pyenv >/dev/null 2>&1; then
            candidate=$(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" |
                sort -t. -k3 -n | tail -n 1 || true)
            [ -n "$candidate" ] && candidates+=("$(pyenv prefix "$candidate")/bin/python$version")
        fi
        candidates+=("$(command -v "python$version" 2>/dev/null || true)")
        [ -n "${AXIOLINK_PYTHON_ROOT:-}" ] && candidates+=("$AXIOLINK_PYTHON_ROOT/usr/bin/python$version")
    fi
    for candidate in "${candidates[@]}"; do
        # A pyenv shim of a version that is not active exists but does not run.
        [ -n "$candidate" ] && "$candidate" -c 'import sysconfig' >/dev/null 2>&1 &&
            { readlink -f "$candidate"; return 0; }
    done
    return 1
}

# ;-separated interpreters of the supported versions that exist here (at
# least one), for AXIOLINK_PYTHONS.
supported_pythons() {
    local list="" found version
    for version in "${AXIOLINK_SUPPORTED_VERSIONS[@]}"; do
        found=$(find_python "$version") && list+="${list:+;}$found"
    done
    if [ -z "$list" ]; then
        local IFS=/
        echo "error: no supported Python found: install CPython ${AXIOLINK_SUPPORTED_VERSIONS[*]} (pyenv or PATH), or set AXIOLINK_PYTHON_3_1x to one" >&2
        return 1
    fi
    echo "$list"
}

# The interpreter of the demo and of the examples it leads to: the oldest
# supported one found.
demo_python() {
    local pythons
    pythons=$(supported_pythons) || return 1
    echo "${pythons%%;*}"
}

# The build folder's subfolder of interpreter $1's modules, e.g. py312.
python_tag() {
    "$1" -c 'import sys; print(f"py{sys.version_info[0]}{sys.version_info[1]}")'
}

# The scripts that build in the project's build folder (the demo, the test
# command, the fault tests) compile with one compiler, called by one name,
# through a compiler cache kept in that folder: ccache tells compilers apart
# by the name they are called by (c++ and g++ are the same program), and the
# install tests' wheels get their objects from it only when every build named
# the compiler alike, whichever script configured the folder first.
use_build_compiler() {
    export CC=gcc CXX=g++ CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR=$1/ccache CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G
}

# configure_build BUILD [CMAKE_ARGS...]: configures BUILD (Ninja) with that
# compiler and cache. CMake keeps the compiler a folder was first configured
# with, whatever CC and CXX say later: a folder configured with another one (a
# plain cmake, an older script) gets a new CMake cache; its objects stay and
# are rebuilt as their commands changed.
configure_build() {
    local source build=$1 variable cached wanted
    shift
    source=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    use_build_compiler "$build"
    if [ -f "$build/CMakeCache.txt" ]; then
        for variable in CMAKE_C_COMPILER=$CC CMAKE_CXX_COMPILER=$CXX; do
            cached=$(sed -n "s/^${variable%%=*}:[A-Z]*=//p" "$build/CMakeCache.txt")
            wanted=$(command -v "${variable#*=}") || wanted=${variable#*=}
            [ "$cached" = "$wanted" ] && continue
            echo "$build was configured with ${cached:-another compiler}, not $wanted:" \
                "configuring it anew" >&2
            rm -rf -- "$build/CMakeCache.txt" "$build/CMakeFiles"
            break
        done
    fi
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_C_COMPILER_LAUNCHER=ccache \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@"
}
