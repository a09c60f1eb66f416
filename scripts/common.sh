# Shared by the project's scripts: Debian packages and interpreter discovery.

# Installs the named Debian packages that are not installed yet.
install_missing_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing missing packages: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: not root, cannot install: ${missing[*]}" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq "${missing[@]}" >/dev/null ||
        { apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null; }
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
