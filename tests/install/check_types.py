"""Type-checks two snippets against the installed package (mypy must run
with the virtual environment's interpreter): mypy --strict accepts
typed_ok.py, and reports exactly the lines of typed_bad.py marked
`# error: CODE`, each with its code."""

import pathlib
import re
import sys

from mypy import api

HERE = pathlib.Path(__file__).parent
FLAGS = ["--strict", "--no-incremental", "--cache-dir=/dev/null", "--show-error-codes"]


def check(snippet: str) -> tuple[set[tuple[int, str]], set[tuple[int, str]], str]:
    path = HERE / snippet
    expected = {(number, match[1])
                for number, line in enumerate(path.read_text().splitlines(), 1)
                if (match := re.search(r"# error: ([\w-]+)$", line))}
    out, err, _ = api.run([*FLAGS, str(path)])
    found = {(int(line), code)
             for line, code in re.findall(rf"{re.escape(snippet)}:(\d+): error: .*\[([\w-]+)\]$", out, re.M)}
    # An error without a code (or one elsewhere, as in the stub) counts as unexpected.
    if out.count(": error:") != len(found) or err:
        found.add((0, "other"))
    return expected, found, out + err


def main() -> int:
    failed = False
    for snippet in ("typed_ok.py", "typed_bad.py"):
        expected, found, output = check(snippet)
        print(f"{snippet}: {len(found)} errors, {len(expected)} expected")
        for line, code in sorted(expected - found):
            print(f"{snippet}:{line}: mypy did not report [{code}]")
        for line, code in sorted(found - expected):
            print(f"{snippet}:{line}: unexpected [{code}]")
        if expected != found:
            failed = True
            print(output)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
