# Sourced by the scripts that need another architecture's or release's Debian
# packages. They come through apt with a private configuration (own sources
# list, package lists, download cache and an empty status), are unpacked with
# dpkg-deb, and never touch the machine's own package state.

# debian_mirror: prints the Debian archive this machine's own apt sources use
# (its mirror or proxy), or AXIOLINK_DEBIAN_MIRROR when set. Security and
# other add-on archives are passed over: only an entry for a release's main
# suite names a full archive. Fails with one line when there is none.
debian_mirror() {
    if [[ -n ${AXIOLINK_DEBIAN_MIRROR:-} ]]; then
        echo "$AXIOLINK_DEBIAN_MIRROR"
        return 0
    fi
    local etc=${AXIOLINK_APT_ETC:-/etc/apt} mirror
    # One-line entries ("deb [options] URI SUITE COMPONENTS...") and deb822
    # stanzas (URIs: and Suites: fields) alike.
    mirror=$(cat -- "$etc"/sources.list "$etc"/sources.list.d/*.list 2>/dev/null |
        sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]*\)\{0,1\}\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\).*/\2 \3/p'
        for file in "$etc"/sources.list.d/*.sources; do
            [[ -e $file ]] || continue
            awk 'function flush() { if (types ~ /(^| )deb( |$)/ && enabled != "no")
                    for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) print uri[u], suite[s]
                types = ""; enabled = ""; nu = 0; ns = 0 }
                /^[[:space:]]*$/ { flush(); next }
                /^#/ { next }
                tolower($1) == "types:" { types = $0; sub(/^[^:]*:/, "", types) }
                tolower($1) == "enabled:" { enabled = tolower($2) }
                tolower($1) == "uris:" { for (i = 2; i <= NF; i++) uri[++nu] = $i }
                tolower($1) == "suites:" { for (i = 2; i <= NF; i++) suite[++ns] = $i }
                END { flush() }' "$file"
        done)
    mirror=$(awk '$2 !~ /[-\/](security|updates|backports|proposed-updates)$/ && $2 !~ /^\// { print $1; exit }' <<<"$mirror")
    [[ -n $mirror ]] || {
        echo "error: no Debian archive in $etc/sources.list or $etc/sources.list.d: set AXIOLINK_DEBIAN_MIRROR to one" >&2
        return 1
    }
    echo "${mirror%/}"
}

# debian_packages [--with-dependencies] SUITE ARCH CACHE DEST PACKAGE...
# Unpacks PACKAGE... (and, with --with-dependencies, everything they need,
# essential packages excepted) of SUITE for ARCH into DEST. CACHE keeps the
# package lists and downloads between runs; lists older than a day are
# refreshed.
debian_packages() {
    local resolve=0
    [[ $1 == --with-dependencies ]] && { resolve=1; shift; }
    local suite=$1 arch=$2 cache=$3 dest=$4
    shift 4
    local state=$cache/$suite-$arch
    mkdir -p "$state/lists/partial" "$state/archives/partial" "$dest"
    [[ -e $state/status ]] || : >"$state/status"
    local mirror
    mirror=$(debian_mirror) || return 1
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$state/sources.list"
    local -a apt_options=(
        -o "Dir::Etc::SourceList=$state/sources.list" -o Dir::Etc::SourceParts=/nonexistent
        -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
        -o "Dir::Cache=$state" -o "Dir::Cache::archives=$state/archives"
        -o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
        -o APT::Install-Recommends=0 -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q)
    if [[ -z $(find "$state/lists" -maxdepth 1 -name '*_Packages*' -mtime -1 2>/dev/null) ]]; then
        apt-get "${apt_options[@]}" update >/dev/null ||
            { echo "error: cannot fetch the $suite $arch package lists" >&2; return 1; }
    fi
    local -a debs
    if ((resolve)); then
        # With an empty status nothing counts as installed, so apt picks the
        # whole closure; its plan names each package's version and
        # architecture, from which the cached file's name follows.
        mapfile -t debs < <(apt-get "${apt_options[@]}" install -s "$@" |
            sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*\[\([^]]*\)\])\( \[[^]]*\]\)\{0,1\}$/\1_\2_\3.deb/p' | sed 's/:/%3a/')
        apt-get "${apt_options[@]}" install --download-only -y "$@" >/dev/null ||
            { echo "error: cannot fetch $* ($suite $arch)" >&2; return 1; }
    else
        mapfile -t debs < <(apt-get "${apt_options[@]}" download --print-uris "$@" |
            sed -n "s/^'[^']*' \([^ ]*\.deb\) .*/\1/p")
        (cd "$state/archives" && apt-get "${apt_options[@]}" download "$@" >/dev/null) ||
            { echo "error: cannot fetch $* ($suite $arch)" >&2; return 1; }
    fi
    ((${#debs[@]})) || { echo "error: apt named no packages for $* ($suite $arch)" >&2; return 1; }
    local deb
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$state/archives/$deb" "$dest" || return 1
    done
}
