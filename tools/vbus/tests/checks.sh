# Sourced by the runner's test scripts: named checks that count failures.
failures=0
check() { # description expected actual
    if [[ $2 == "$3" ]]; then
        printf 'ok    %s\n' "$1"
    else
        printf 'FAIL  %s\n      expected: %q\n      actual:   %q\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}
check_match() { # description regex actual
    if [[ $3 =~ $2 ]]; then
        printf 'ok    %s\n' "$1"
    else
        printf 'FAIL  %s\n      expected to match: %s\n      actual: %q\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

# Runs a command with its status, stdout and stderr kept in $scratch under
# NAME, for status_of, out_of and err_of.
capture() { # NAME CMD [ARGS...]
    local name=$1
    shift
    local status=0
    "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
    echo "$status" >"$scratch/$name.status"
}
status_of() { cat "$scratch/$1.status"; }
out_of() { cat "$scratch/$1.out"; }
err_of() { cat "$scratch/$1.err"; }
