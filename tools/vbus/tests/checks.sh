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
