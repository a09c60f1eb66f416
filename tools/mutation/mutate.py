#!/usr/bin/env python3
"""Mutation testing for the project's C++ sources.

Makes one small fault at a time in a source file (a mutant), rebuilds, runs
the tests that should notice it, and records whether they did. The share of
compiled mutants the tests catch is the score; the mutants they miss are the
list of tests to write. README.md beside this file has the how and why.

    mutate.py --files src/damiao/group.cpp --list
    mutate.py --config tools/mutation/axiolink.toml --files src/damiao/group.cpp \\
              --sample 20 --seed 1 --results /tmp/group.jsonl
    mutate.py --report /tmp/group.jsonl
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import fcntl
import fnmatch
import glob
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from collections.abc import Iterable, Sequence
from pathlib import Path

# ---------------------------------------------------------------- tokens

# Longest first, so that `<<=` is one token and not `<`, `<=`.
PUNCTUATORS = sorted(
    """<=> <<= >>= ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .*
    { } [ ] ( ) ; : ? , . + - * / % ^ & | ~ ! = < > #""".split(),
    key=len, reverse=True)
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
# A preprocessing number: digits with separators, radix prefixes, suffixes,
# exponents (with their sign) and points alike.
NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
STRING_PREFIX = re.compile(r"(?:u8|u|U|L)?R?$")


@dataclasses.dataclass(frozen=True)
class Token:
    kind: str  # "id", "num" or "punct"
    text: str
    start: int  # offset in the source
    line: int  # 1-based
    space_before: bool  # whitespace (or a line start) right before it
    space_after: bool  # whitespace (or a line end) right after it

    @property
    def end(self) -> int:
        return self.start + len(self.text)


def _skip_string(source: str, at: int, raw: bool) -> int:
    """The offset just past the string or character literal whose opening
    quote is at `at`, with its user-defined suffix, if any."""
    quote = source[at]
    if raw:
        open_paren = source.index("(", at)
        delimiter = source[at + 1:open_paren]
        end = source.index(")" + delimiter + '"', open_paren) + len(delimiter) + 2
    else:
        i = at + 1
        while i < len(source) and source[i] != quote:
            if source[i] == "\\":
                i += 1
            elif source[i] == "\n":  # unterminated: stop at the line's end
                break
            i += 1
        end = i + 1
    suffix = IDENTIFIER.match(source, end)
    return suffix.end() if suffix else end


def tokenize(source: str) -> list[Token]:
    """The code tokens of C++ `source`: comments, string and character
    literals and preprocessor lines are left out, so no mutant touches them."""
    tokens: list[Token] = []
    i, line, n = 0, 1, len(source)
    at_line_start = True

    def space(offset: int) -> bool:
        return offset < 0 or offset >= n or source[offset].isspace()

    while i < n:
        c = source[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c.isspace():
            i += 1
            continue
        if c == "#" and at_line_start:  # a directive, with its continuation lines
            while i < n and source[i] != "\n":
                if source.startswith("\\\n", i):
                    line += 1
                    i += 1
                i += 1
            continue
        at_line_start = False
        if source.startswith("//", i):
            while i < n and source[i] != "\n":
                i += 1
            continue
        if source.startswith("/*", i):
            end = source.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += source.count("\n", i, end)
            i = end
            continue
        if c in "\"'":
            end = _skip_string(source, i, raw=False)
            line += source.count("\n", i, end)
            i = end
            continue
        match = IDENTIFIER.match(source, i)
        if match:
            word = match.group()
            after = match.end()
            if after < n and source[after] in "\"'" and STRING_PREFIX.match(word):
                end = _skip_string(source, after, raw=word.endswith("R") and source[after] == '"')
                line += source.count("\n", i, end)
                i = end
                continue
            tokens.append(Token("id", word, i, line, space(i - 1), space(after)))
            i = after
            continue
        match = NUMBER.match(source, i)
        if match:
            tokens.append(Token("num", match.group(), i, line, space(i - 1), space(match.end())))
            i = match.end()
            continue
        for punct in PUNCTUATORS:
            if source.startswith(punct, i):
                break
        else:
            punct = c
        tokens.append(Token("punct", punct, i, line, space(i - 1), space(i + len(punct))))
        i += len(punct)
    return tokens


# Tokens that end a template argument list's search: a `<` followed by any of
# these before its `>` compares.
_NOT_IN_TEMPLATE_ARGS = {";", "{", "}", "&&", "||", "?", "=", "==", "!=", "<=", ">=", "+=", "-=",
                         "*=", "/=", "return"}
_CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast", "template", "bit_cast"}


def template_brackets(tokens: Sequence[Token]) -> set[int]:
    """Indices of the `<`, `>` and `>>` tokens that open or close template
    argument lists (`std::array<T, 4>`, `static_cast<int>(x)`): swapping
    those for `<=` cannot compile, so no mutant is made of them. A `<` after
    a name that has a `>` later in the same expression, before any token an
    argument list cannot hold, is taken for one."""
    found: set[int] = set()
    for i, token in enumerate(tokens):
        if token.text != "<" or i == 0 or tokens[i - 1].kind != "id":
            continue
        if tokens[i - 1].text in {"operator", "return"}:
            continue
        depth, parens = 1, 0
        for j in range(i + 1, min(len(tokens), i + 96)):
            text = tokens[j].text
            if text in _NOT_IN_TEMPLATE_ARGS:
                break
            if text in "([":
                parens += 1
            elif text in ")]":
                parens -= 1
                if parens < 0:
                    break
            elif parens == 0 and text == "<":
                depth += 1
            elif parens == 0 and text in (">", ">>"):
                depth -= len(text)
                if depth <= 0:
                    found.update((i, j))
                    break
    return found


def static_assert_spans(tokens: Sequence[Token]) -> set[int]:
    """Indices of the tokens inside `static_assert(...)`: compile-time
    checks, whose mutants fail to build or change nothing at run time."""
    inside: set[int] = set()
    for i, token in enumerate(tokens):
        if token.text != "static_assert" or i + 1 >= len(tokens) or tokens[i + 1].text != "(":
            continue
        depth = 0
        for j in range(i + 1, len(tokens)):
            if tokens[j].text == "(":
                depth += 1
            elif tokens[j].text == ")":
                depth -= 1
                if depth == 0:
                    inside.update(range(i, j + 1))
                    break
    return inside


_DECLARATION_BODIES = {"class", "struct", "union", "enum", "namespace"}
# Their parentheses do not make a function's head: `struct alignas(64) X {`.
_NOT_A_PARAMETER_LIST = {"alignas", "decltype", "__attribute__", "__declspec", "noexcept"}


def outside_code_bodies(tokens: Sequence[Token]) -> set[int]:
    """Indices of the tokens whose innermost brace is not a block of code:
    the file's top level and the bodies of namespaces, classes and enums,
    which hold declarations, never statements. A header's `S(const S&) =
    delete;`, a constructor's `S(int n);` or a macro's `TEST(...);` read as
    a call or an assignment, but a `{}` in their place cannot compile. A
    brace opens a declaration body when the text before it, back to the
    previous `;`, `{` or `}`, names one of those keywords with no parameter
    list after it; a brace inside parentheses is a lambda's, so code."""
    opens: list[tuple[int, bool]] = []  # (index of the `{`, whether it holds code)
    outside: set[int] = set()
    for i, token in enumerate(tokens):
        if not opens or not opens[-1][1]:
            outside.add(i)
        if token.text == "{":
            opens.append((i, _opens_code(tokens, i)))
        elif token.text == "}" and opens:
            opens.pop()
    return outside


def _opens_code(tokens: Sequence[Token], brace: int) -> bool:
    depth = 0
    keyword = False
    parameters = False
    for j in range(brace - 1, -1, -1):
        text = tokens[j].text
        if text in ")]":
            depth += 1
        elif text in "([":
            if depth == 0:
                return True  # inside an argument list: a lambda's body
            depth -= 1
            if text == "(" and depth == 0 and (
                    j == 0 or tokens[j - 1].text not in _NOT_A_PARAMETER_LIST):
                parameters = True
        elif depth == 0 and text in {";", "{", "}"}:
            break
        elif depth == 0 and text in _DECLARATION_BODIES:
            keyword = True
            # A parameter list after the keyword makes a function of it:
            # `template <class T> void f(T x) {`.
            return parameters
    return not keyword


# ---------------------------------------------------------------- mutants

OPERATORS = {
    "rel-boundary": "< <=, > >= (each way)",
    "rel-negate": "< >=, <= >, > <=, >= < (the comparison's opposite)",
    "equality": "== !=",
    "logical": "&& ||",
    "not": "a logical ! removed",
    "arith": "+ -, * /, += -=, *= /=",
    "incdec": "++ --",
    "constant": "integer n to n+1 and n-1 (0 to 1)",
    "bool": "true false",
    "jump": "continue break",
    "delete": "a one-line call or assignment statement replaced by {}",
}
ALIASES = {"relational": ["rel-boundary", "rel-negate"]}

_BOUNDARY = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
_NEGATE = {"<": ">=", "<=": ">", ">": "<=", ">=": "<"}
_SWAPS = {
    "equality": {"==": "!=", "!=": "=="},
    "logical": {"&&": "||", "||": "&&"},
    "arith": {"+": "-", "-": "+", "*": "/", "/": "*", "+=": "-=", "-=": "+=", "*=": "/=",
              "/=": "*="},
    "incdec": {"++": "--", "--": "++"},
    "bool": {"true": "false", "false": "true"},
    "jump": {"continue": "break", "break": "continue"},
}
# Binary `*` and `&&` are written with a space on each side (PointerAlignment:
# Left puts none before `T* p` or `T&& x`): only those are mutated.
_SPACED_ONLY = {"*", "&&", "*=", "/="}
_ASSIGNMENTS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>="}
# A line starting with one of these is no call or assignment statement.
_NOT_A_STATEMENT_START = set("""
    return co_return co_yield throw break continue goto case default using typedef namespace
    if else for while switch do try catch template typename friend public private protected
    static_assert auto const constexpr consteval constinit static inline extern volatile
    mutable virtual explicit struct class enum union bool char int long short unsigned signed
    float double void operator new delete sizeof alignas decltype""".split())


@dataclasses.dataclass(frozen=True)
class Mutant:
    file: str
    operator: str
    start: int
    end: int
    before: str
    after: str
    line: int
    col: int

    def apply(self, source: str) -> str:
        return source[:self.start] + self.after + source[self.end:]

    def key(self, file_sha: str) -> str:
        """Names this mutant of this version of the file: a result recorded
        for it holds until the file changes."""
        text = "\0".join([self.file, file_sha, str(self.start), str(self.end), self.operator,
                          self.after])
        return hashlib.sha1(text.encode()).hexdigest()[:12]

    def lines(self, source: str) -> tuple[str, str]:
        """The source line of the change, before and after it (its first
        line, for a change over several)."""
        first = source.rfind("\n", 0, self.start) + 1
        last = source.find("\n", self.end)
        last = len(source) if last < 0 else last
        before = source[first:last]
        after = before[:self.start - first] + self.after + before[self.end - first:]
        return before.split("\n")[0].strip(), after.split("\n")[0].strip()


def _integer_variants(text: str) -> list[str]:
    """`text` (an integer literal) one up and one down, in its own radix,
    case and suffix; nothing for floating-point literals."""
    match = re.fullmatch(r"(0[xX])([0-9A-Fa-f']+)([uUlLzZ]*)|(0[bB])([01']+)([uUlLzZ]*)"
                         r"|([0-9][0-9']*)([uUlLzZ]*)", text)
    if not match:
        return []
    if match.group(1):
        prefix, digits, suffix, base = match.group(1), match.group(2), match.group(3), 16
    elif match.group(4):
        prefix, digits, suffix, base = match.group(4), match.group(5), match.group(6), 2
    else:
        prefix, digits, suffix, base = "", match.group(7), match.group(8), 10
        if len(digits) > 1 and digits.startswith("0"):
            return []  # octal: none in this code base, not worth the care
    digits = digits.replace("'", "")
    value = int(digits, base)
    upper = any(c in "ABCDEF" for c in digits)

    def written(number: int) -> str:
        if base == 16:
            body = format(number, "X" if upper else "x")
        elif base == 2:
            body = format(number, "b")
        else:
            body = str(number)
        if prefix:
            body = body.rjust(len(digits), "0")
        return prefix + body + suffix

    return [written(value + 1)] if value == 0 else [written(value + 1), written(value - 1)]


def _statement_end(tokens: Sequence[Token], i: int) -> int | None:
    """For a token that starts a line: the index of the `;` that ends a
    one-line call or assignment statement starting there, else None."""
    first = tokens[i]
    if first.text in _NOT_A_STATEMENT_START:
        return None
    if i > 0 and tokens[i - 1].text not in {";", "{", "}", ")", "else", "do"}:
        return None
    j = i
    prefix_step = tokens[j].text in {"++", "--"}
    if tokens[j].text in {"*", "++", "--"}:
        j += 1
    if j >= len(tokens) or tokens[j].kind != "id":
        return None
    called = False
    while j < len(tokens):
        text = tokens[j].text
        if tokens[j].kind == "id":
            j += 1
            # Two names in a row declare something: `Type name = ...;`.
            if j < len(tokens) and tokens[j].kind == "id":
                return None
            called = False
        elif text in {"::", ".", "->"}:
            j += 1
            if j >= len(tokens) or tokens[j].kind != "id":
                return None
        elif text in {"(", "["}:
            close = {"(": ")", "[": "]"}[text]
            depth = 0
            while j < len(tokens):
                if tokens[j].text == text:
                    depth += 1
                elif tokens[j].text == close:
                    depth -= 1
                    if depth == 0:
                        break
                j += 1
            else:
                return None
            called = text == "("
            j += 1
        else:
            break
    if j >= len(tokens):
        return None
    if tokens[j].text in {"++", "--"} and not prefix_step:
        j += 1
    elif tokens[j].text in _ASSIGNMENTS and not prefix_step:
        if tokens[i].text == "std" and tokens[i + 2].text == "ignore":
            return None  # discards a result: deleting it changes nothing
        while j < len(tokens) and tokens[j].text != ";":
            j += 1
    elif not (called or prefix_step):
        return None
    if j >= len(tokens) or tokens[j].text != ";" or tokens[j].line != first.line:
        return None
    if j + 1 < len(tokens) and tokens[j + 1].line == first.line:
        return None  # more code on the line
    return j


def _next_to_string(source: str, token: Token) -> bool:
    """Whether a string literal, or a std::string made of one, stands right
    before or after `token`."""
    left = source[:token.start].rstrip()
    return left.endswith(('"', '")')) or re.match(r'\s*(?:std::string\s*\(\s*)?"', source[
        token.end:]) is not None


def _pure_specifier(tokens: Sequence[Token], i: int) -> bool:
    """Whether the number at `i` is the `0` of `virtual void f() = 0;`,
    which no other number may replace."""
    return (tokens[i].text == "0" and 2 <= i < len(tokens) - 1 and tokens[i - 1].text == "="
            and tokens[i + 1].text == ";"
            and tokens[i - 2].text in {")", "const", "noexcept", "override", "final", "&", "&&"})


def generate(source: str, file: str, operators: Iterable[str] | None = None) -> list[Mutant]:
    """Every mutant of `source` (the text of `file`) that `operators` (names
    of OPERATORS; all when None) make, in source order."""
    chosen = set(OPERATORS if operators is None else operators)
    tokens = tokenize(source)
    asserts = static_assert_spans(tokens)
    skip = template_brackets(tokens) | asserts
    declarations = outside_code_bodies(tokens)
    line_starts = [0] + [m.end() for m in re.finditer("\n", source)]
    mutants: list[Mutant] = []

    def add(operator: str, start: int, end: int, after: str) -> None:
        line = source.count("\n", 0, start) + 1
        mutants.append(Mutant(file, operator, start, end, source[start:end], after, line,
                              start - line_starts[line - 1] + 1))

    for i, token in enumerate(tokens):
        if i in skip:
            continue
        text = token.text
        previous = tokens[i - 1].text if i > 0 else ""
        if previous == "operator":
            continue
        spaced = token.space_before and token.space_after
        if token.kind == "punct" and text in _SPACED_ONLY and not spaced:
            continue
        if text in {"+", "+="} and _next_to_string(source, token):
            continue  # joins texts: its `-` cannot compile
        if token.kind == "punct" and text in _BOUNDARY:
            if "rel-boundary" in chosen:
                add("rel-boundary", token.start, token.end, _BOUNDARY[text])
            if "rel-negate" in chosen:
                add("rel-negate", token.start, token.end, _NEGATE[text])
        for operator, swaps in _SWAPS.items():
            if operator in chosen and text in swaps and (token.kind == "punct") == (
                    operator not in {"bool", "jump"}):
                add(operator, token.start, token.end, swaps[text])
        if "not" in chosen and token.kind == "punct" and text == "!":
            add("not", token.start, token.end, "")
        if "constant" in chosen and token.kind == "num" and not _pure_specifier(tokens, i):
            for after in _integer_variants(text):
                add("constant", token.start, token.end, after)
        if "delete" in chosen and token.kind in {"id", "punct"} and i not in declarations and (
                i == 0 or tokens[i - 1].line < token.line):
            end = _statement_end(tokens, i)
            if end is not None and not asserts.intersection(range(i, end + 1)):
                add("delete", token.start, tokens[end].end, "{}")
    mutants.sort(key=lambda m: (m.start, m.end, m.operator))
    return mutants


# ---------------------------------------------------------------- selection


def parse_ranges(text: str) -> set[int]:
    """Line numbers from `10-40,55,60-62`."""
    lines: set[int] = set()
    for part in filter(None, (p.strip() for p in text.split(","))):
        first, _, last = part.partition("-")
        lines.update(range(int(first), int(last or first) + 1))
    return lines


def changed_lines(diff: str) -> set[int]:
    """The new-side line numbers that a unified diff (`-U0` or not) adds or
    changes."""
    lines: set[int] = set()
    for hunk in re.finditer(r"^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@", diff, re.M):
        start, count = int(hunk.group(1)), int(hunk.group(2) or 1)
        lines.update(range(start, start + count))
    return lines


def expand_operators(text: str | None) -> list[str] | None:
    if not text:
        return None
    names: list[str] = []
    for name in filter(None, (n.strip() for n in text.split(","))):
        if name in ALIASES:
            names.extend(ALIASES[name])
        elif name in OPERATORS:
            names.append(name)
        else:
            raise SystemExit(f"mutate: unknown operator {name!r}; known: "
                             f"{', '.join([*OPERATORS, *ALIASES])}")
    return names


@dataclasses.dataclass
class SourceFile:
    path: str  # relative to the worktree
    text: str
    sha: str
    mutants: list[Mutant]


def file_sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def select(worktree: Path, wanted_files: Sequence[str], lines: str | None, diff_base: str | None,
           operators: list[str] | None, sample: int | None, seed: int) -> list[SourceFile]:
    """The files named by `wanted_files` (paths or globs relative to the worktree,
    each optionally `:RANGES`) and the mutants chosen in each."""
    files: list[SourceFile] = []
    for named in wanted_files:
        pattern, _, own_ranges = named.partition(":")
        paths = sorted(glob.glob(pattern, root_dir=worktree)) if glob.has_magic(pattern) else [
            pattern]
        if not paths:
            raise SystemExit(f"mutate: no file matches {pattern!r} in {worktree}")
        for path in paths:
            if not (worktree / path).is_file():
                raise SystemExit(f"mutate: no file {path} in {worktree}")
            text = (worktree / path).read_text()
            mutants = generate(text, path, operators)
            ranges = own_ranges or lines
            if ranges:
                wanted = parse_ranges(ranges)
                mutants = [m for m in mutants if m.line in wanted]
            if diff_base:
                diff = subprocess.run(["git", "-C", str(worktree), "diff", "--no-color", "-U0",
                                       diff_base, "--", path],
                                      check=True, capture_output=True, text=True).stdout
                wanted = changed_lines(diff)
                mutants = [m for m in mutants if m.line in wanted]
            if sample is not None and sample < len(mutants):
                # Seeded by the file too, so one file's sample does not
                # depend on which other files were named.
                chosen = random.Random(f"{seed}:{path}").sample(range(len(mutants)), sample)
                mutants = [mutants[k] for k in sorted(chosen)]
            files.append(SourceFile(path, text, file_sha(text), mutants))
    return files


# ---------------------------------------------------------------- configuration


@dataclasses.dataclass
class Target:
    name: str
    patterns: list[str]
    build: str
    tests: list[str]
    env: dict[str, str]
    build_timeout: float
    test_timeout: float | None
    retry_on: list[str]

    def matches(self, path: str) -> bool:
        return any(fnmatch.fnmatchcase(path, p) for p in self.patterns)


DEFAULT_RETRY_ON = ["no virtual CAN bus, command not run"]


def load_config(path: str | None, build: str | None, test: str | None,
                build_timeout: float | None, test_timeout: float | None) -> list[Target]:
    """The targets of a TOML or JSON config, then one for every file from
    --build and --test, if given. Command-line time-outs override."""
    targets: list[Target] = []
    if path:
        raw = Path(path).read_bytes()
        if path.endswith(".json"):
            config = json.loads(raw)
        else:
            import tomllib
            config = tomllib.loads(raw.decode())
        env = {k: str(v) for k, v in config.get("env", {}).items()}
        retry_on = config.get("retry_on", DEFAULT_RETRY_ON)
        for number, entry in enumerate(config.get("target", []), 1):
            tests = entry["test"]
            targets.append(Target(
                name=entry.get("name", f"target {number}"),
                patterns=list(entry["files"]),
                build=entry["build"],
                tests=[tests] if isinstance(tests, str) else list(tests),
                env={**env, **{k: str(v) for k, v in entry.get("env", {}).items()}},
                build_timeout=build_timeout or float(entry.get("build_timeout", 900)),
                test_timeout=test_timeout or entry.get("test_timeout"),
                retry_on=entry.get("retry_on", retry_on)))
    if build or test:
        if not (build and test):
            raise SystemExit("mutate: --build and --test go together")
        targets.append(Target("command line", ["*"], build, [test], {}, build_timeout or 900,
                              test_timeout, DEFAULT_RETRY_ON))
    return targets


def target_for(targets: Sequence[Target], path: str) -> Target:
    for target in targets:
        if target.matches(path):
            return target
    raise SystemExit(f"mutate: no build and test command for {path}: "
                     f"give --config with an entry for it, or --build and --test")


# ---------------------------------------------------------------- running


class Interrupted(Exception):
    """SIGINT, SIGTERM or SIGHUP while mutants run."""


def _interrupt(signum, frame):
    raise Interrupted(signal.Signals(signum).name)


@dataclasses.dataclass
class Finished:
    status: int | None  # None: timed out
    seconds: float
    output: str


def run_command(command: str, cwd: Path, env: dict[str, str], timeout: float) -> Finished:
    """Runs `command` with bash in a session of its own, so that a time-out
    or an interruption can end it with everything it started."""
    started = time.monotonic()
    process = subprocess.Popen(["bash", "-c", command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True, text=True, errors="replace")
    try:
        output, _ = process.communicate(timeout=timeout)
        return Finished(process.returncode, time.monotonic() - started, output)
    except subprocess.TimeoutExpired:
        _end_group(process)
        output, _ = process.communicate()
        return Finished(None, time.monotonic() - started, output)
    except BaseException:
        _end_group(process)
        process.communicate()
        raise


def _end_group(process: subprocess.Popen, grace: float = 15.0) -> None:
    """SIGTERM to the command's process group (vbus-run passes it on and
    gives its command a grace period), then SIGKILL."""
    for signum, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signum)
        try:
            process.wait(timeout=wait)
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)  # leftovers of the group
            return
        except subprocess.TimeoutExpired:
            continue


_FAILED_TEST = [
    re.compile(r"^\s*\d+ - (\S+) \((?:Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|"
               r"Exception|Not Run)", re.M),  # ctest
    re.compile(r"^\[  FAILED  \] (\S+?)(?:,| \(|$)", re.M),  # GoogleTest
    re.compile(r"^(?:FAIL|ERROR): (\S+ \([\w.]+\))", re.M),  # unittest
    re.compile(r"^FAIL: (.+)$", re.M),  # shell checks
]


def failed_tests(output: str) -> list[str]:
    names: list[str] = []
    for pattern in _FAILED_TEST:
        for name in pattern.findall(output):
            if name not in names and not name.endswith(" tests, listed below:"):
                names.append(name)
    return names[:12]


def _tail(text: str, size: int = 1500) -> str:
    return text if len(text) <= size else "..." + text[-size:]


class Workspace:
    """The worktree a run mutates: one run at a time (a lock in its git
    folder), and a note of the file being mutated, so that a run killed
    outright leaves the original to put back at the next start."""

    def __init__(self, worktree: Path):
        self.worktree = worktree

        def git_path(name: str) -> Path:
            found = subprocess.run(["git", "-C", str(worktree), "rev-parse", "--git-path", name],
                                   check=True, capture_output=True, text=True).stdout.strip()
            return (worktree / found).resolve()

        self.lock_path = git_path("mutation.lock")
        self.pending_path = git_path("mutation-pending.json")
        self._lock = None

    def __enter__(self) -> Workspace:
        self._lock = open(self.lock_path, "w")
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise SystemExit(f"mutate: another run holds {self.lock_path}") from None
        self.recover()
        return self

    def __exit__(self, *exc) -> None:
        self.restore()
        self._lock.close()

    def recover(self) -> None:
        if self.pending_path.exists():
            note = json.loads(self.pending_path.read_text())
            target = self.worktree / note["path"]
            # Only the mutant itself is replaced: a file changed since (a
            # checkout of another commit) is left as it is.
            if target.exists() and target.read_text() == note.get("mutated"):
                print(f"mutate: putting back {note['path']} as it was before an earlier run "
                      "stopped", file=sys.stderr)
                target.write_text(note["original"])
            else:
                print(f"mutate: {note['path']} changed since an earlier run stopped; left as it is",
                      file=sys.stderr)
            self.pending_path.unlink()

    def write_mutant(self, path: str, original: str, mutated: str) -> None:
        on_disk = (self.worktree / path).read_text()
        if on_disk != original:
            raise SystemExit(f"mutate: {path} changed while mutants ran; stopping")
        self.pending_path.write_text(
            json.dumps({"path": path, "original": original, "mutated": mutated}))
        # The new modification time makes the build recompile it; putting the
        # original back gives it a newer one again, so no mutant's object is
        # ever taken for the original's.
        (self.worktree / path).write_text(mutated)

    def restore(self) -> None:
        if self.pending_path.exists():
            note = json.loads(self.pending_path.read_text())
            (self.worktree / note["path"]).write_text(note["original"])
            self.pending_path.unlink()


@dataclasses.dataclass
class Baseline:
    build_seconds: float
    step_seconds: list[float]


def step_timeouts(target: Target, baseline: Baseline | None) -> list[float]:
    """A test step's time limit: the config's, else three times what it took
    without a mutant plus a minute (a busy machine runs slower), at least
    two minutes; 900 s without a baseline."""
    if target.test_timeout:
        return [float(target.test_timeout)] * len(target.tests)
    if baseline is None:
        return [900.0] * len(target.tests)
    return [max(120.0, 3 * seconds + 60) for seconds in baseline.step_seconds]


def run_tests(target: Target, worktree: Path, env: dict[str, str],
              timeouts: Sequence[float]) -> dict:
    """The test steps in order up to the first that fails: outcome, the
    failing step and tests, times."""
    seconds = 0.0
    for number, (step, limit) in enumerate(zip(target.tests, timeouts), 1):
        for attempt in (1, 2):
            finished = run_command(step, worktree, env, limit)
            retry = finished.status not in (0, None) and any(
                re.search(p, finished.output) for p in target.retry_on)
            if not retry:
                break
            print(f"mutate: step {number} could not run ({attempt}/2), "
                  f"{'again' if attempt == 1 else 'giving up'}", file=sys.stderr)
        seconds += finished.seconds
        if finished.status == 0:
            continue
        result = {"test_s": round(seconds, 2), "step": number, "output": _tail(finished.output),
                  "failed": failed_tests(finished.output)}
        if finished.status is None:
            result["outcome"] = "timed out"
        elif retry:
            result["outcome"] = "error"
        else:
            result["outcome"] = "killed"
        return result
    return {"outcome": "survived", "test_s": round(seconds, 2)}


def run_baseline(target: Target, worktree: Path, env: dict[str, str]) -> Baseline:
    print(f"mutate: baseline of {target.name!r}: build and tests without a mutant",
          file=sys.stderr)
    built = run_command(target.build, worktree, env, target.build_timeout)
    if built.status != 0:
        raise SystemExit(f"mutate: the build fails without a mutant:\n{_tail(built.output)}")
    steps: list[float] = []
    for number, step in enumerate(target.tests, 1):
        finished = run_command(step, worktree, env, target.test_timeout or 1800)
        if finished.status != 0:
            raise SystemExit(f"mutate: test step {number} fails without a mutant:\n"
                             f"{_tail(finished.output)}")
        steps.append(finished.seconds)
    print(f"mutate: baseline build {built.seconds:.1f} s, steps "
          f"{', '.join(f'{s:.1f} s' for s in steps)}", file=sys.stderr)
    return Baseline(built.seconds, steps)


def read_results(path: Path) -> list[dict]:
    if not path.exists():
        return []
    records = []
    for line in path.read_text().splitlines():
        if line.strip():
            with contextlib.suppress(json.JSONDecodeError):  # a line cut by a kill
                records.append(json.loads(line))
    return records


def run(worktree: Path, files: Sequence[SourceFile], targets: Sequence[Target], results: Path,
        resume: bool, baseline: bool) -> None:
    done = {r["id"] for r in read_results(results)} if resume else set()
    if not resume and results.exists() and results.stat().st_size:
        raise SystemExit(f"mutate: {results} holds results already: --resume to go on, "
                         f"or name another file")
    plan = [(f, target_for(targets, f.path)) for f in files]
    total = sum(len(f.mutants) for f in files)
    baselines: dict[str, Baseline | None] = {}
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _interrupt)
    count = 0
    with Workspace(worktree) as workspace, results.open("a") as out:
        try:
            for source, target in plan:
                env = {**os.environ}
                for key, value in target.env.items():
                    env.setdefault(key, value)
                todo = [m for m in source.mutants if m.key(source.sha) not in done]
                count += len(source.mutants) - len(todo)
                if not todo:
                    continue
                if target.name not in baselines:
                    baselines[target.name] = run_baseline(target, worktree, env) if baseline \
                        else None
                timeouts = step_timeouts(target, baselines[target.name])
                for mutant in todo:
                    count += 1
                    record = run_mutant(workspace, source, mutant, target, env, timeouts)
                    out.write(json.dumps(record) + "\n")
                    out.flush()
                    print(f"[{count}/{total}] {mutant.file}:{mutant.line}:{mutant.col} "
                          f"{mutant.operator} {mutant.before!r} -> {mutant.after!r}: "
                          f"{record['outcome']}"
                          + (f" (step {record['step']})" if "step" in record else "")
                          + f"  [build {record['build_s']} s, test {record.get('test_s', 0)} s]",
                          file=sys.stderr, flush=True)
                # The build folder holds the last mutant's objects: build the
                # original again, so the next user of the folder tests that.
                run_command(target.build, worktree, env, target.build_timeout)
        except Interrupted as stop:
            workspace.restore()
            print(f"mutate: stopped by {stop}; the file is back as it was. The build folder "
                  f"may hold a mutant's objects: build before testing.", file=sys.stderr)
            raise SystemExit(130) from None


def run_mutant(workspace: Workspace, source: SourceFile, mutant: Mutant, target: Target,
               env: dict[str, str], timeouts: Sequence[float]) -> dict:
    before_line, after_line = mutant.lines(source.text)
    record = {"id": mutant.key(source.sha), "file": mutant.file, "file_sha": source.sha,
              "line": mutant.line, "col": mutant.col, "operator": mutant.operator,
              "before": mutant.before, "after": mutant.after, "source_line": before_line,
              "mutated_line": after_line}
    try:
        workspace.write_mutant(mutant.file, source.text, mutant.apply(source.text))
        built = run_command(target.build, workspace.worktree, env, target.build_timeout)
        record["build_s"] = round(built.seconds, 2)
        if built.status != 0:
            record["outcome"] = "not compiled"
            record["detail"] = "build timed out" if built.status is None else "build failed"
            record["output"] = _tail(built.output, 800)
        else:
            record.update(run_tests(target, workspace.worktree, env, timeouts))
    finally:
        workspace.restore()
    record["when"] = time.strftime("%Y-%m-%dT%H:%M:%S")
    return record


# ---------------------------------------------------------------- report

OUTCOMES = ["killed", "timed out", "survived", "not compiled", "error"]


def latest_records(records: Iterable[dict]) -> list[dict]:
    """The last record of each mutant, and of each file only those of its
    latest version (results of an older text of the file no longer hold)."""
    by_id: dict[str, dict] = {}
    newest_sha: dict[str, str] = {}
    for record in records:
        by_id[record["id"]] = record
        newest_sha[record["file"]] = record["file_sha"]
    return [r for r in by_id.values() if r["file_sha"] == newest_sha[r["file"]]]


def score(counts: dict[str, int]) -> float | None:
    caught = counts.get("killed", 0) + counts.get("timed out", 0)
    compiled = caught + counts.get("survived", 0)
    return caught / compiled if compiled else None


def report(records: Sequence[dict]) -> str:
    records = latest_records(records)
    files = sorted({r["file"] for r in records})
    lines = ["| file | mutants | killed | timed out | survived | not compiled | error | score |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]

    def row(name: str, chosen: list[dict]) -> str:
        counts = {o: sum(1 for r in chosen if r["outcome"] == o) for o in OUTCOMES}
        value = score(counts)
        shown = "n/a" if value is None else f"{100 * value:.1f} %"
        return (f"| {name} | {len(chosen)} | " + " | ".join(str(counts[o]) for o in OUTCOMES)
                + f" | {shown} |")

    for file in files:
        lines.append(row(file, [r for r in records if r["file"] == file]))
    if len(files) > 1:
        lines.append(row("**total**", records))
    lines += ["", "score = (killed + timed out) / (killed + timed out + survived); "
              "mutants that do not compile and runs that could not test (error) are left out.",
              "", "| operator | mutants | killed | timed out | survived | not compiled | error | "
              "score |", "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for operator in [o for o in OPERATORS if any(r["operator"] == o for r in records)]:
        lines.append(row(operator, [r for r in records if r["operator"] == operator]))
    survivors = sorted((r for r in records if r["outcome"] in {"survived", "error"}),
                       key=lambda r: (r["file"], r["line"], r["col"], r["operator"]))
    if survivors:
        lines += ["", "Survivors (no test failed):" if all(
            r["outcome"] == "survived" for r in survivors) else "Survivors and errors:", ""]
        for r in survivors:
            note = "" if r["outcome"] == "survived" else "  (error: tests could not run)"
            lines.append(f"- `{r['file']}:{r['line']}:{r['col']}` {r['operator']}: "
                         f"`{r['before']}` -> `{r['after']}`{note}")
            lines.append(f"  - `{r['source_line']}`")
            lines.append(f"  - `{r['mutated_line']}`")
    return "\n".join(lines)


def listing(files: Sequence[SourceFile]) -> str:
    lines: list[str] = []
    for source in files:
        for m in source.mutants:
            _, after_line = m.lines(source.text)
            lines.append(f"{m.file}:{m.line}:{m.col} {m.operator} {m.before!r} -> {m.after!r}"
                         f"  | {after_line}")
    lines.append("")
    for source in files:
        per_operator = {}
        for m in source.mutants:
            per_operator[m.operator] = per_operator.get(m.operator, 0) + 1
        lines.append(f"{source.path}: {len(source.mutants)} mutants ("
                     + ", ".join(f"{k} {v}" for k, v in per_operator.items()) + ")")
    return "\n".join(lines)


# ---------------------------------------------------------------- command line


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(
        description="Mutation testing for C++ sources: one fault at a time, rebuilt and tested.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="operators:\n" + "\n".join(f"  {k:13} {v}" for k, v in OPERATORS.items())
        + "\n  relational    rel-boundary and rel-negate")
    parser.add_argument("--worktree", default=".", help="the checkout to mutate (default: .)")
    parser.add_argument("--files", nargs="+", default=[], metavar="FILE[:RANGES]",
                        help="sources relative to the worktree (globs too), each optionally "
                             "with its own line ranges, e.g. src/a.cpp:10-40,55")
    parser.add_argument("--lines", metavar="RANGES",
                        help="line ranges for every file without its own")
    parser.add_argument("--diff-base", metavar="COMMIT",
                        help="only lines the worktree adds or changes against COMMIT")
    parser.add_argument("--operators", metavar="LIST", help="comma-separated operator names")
    parser.add_argument("--sample", type=int, metavar="N",
                        help="a random N mutants of each file (after the other filters)")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed (default 1)")
    parser.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    parser.add_argument("--config", help="TOML or JSON: build and test commands per file glob")
    parser.add_argument("--build", help="build command (bash) for files no config entry names")
    parser.add_argument("--test", help="test command (bash) for files no config entry names")
    parser.add_argument("--build-timeout", type=float, metavar="S")
    parser.add_argument("--test-timeout", type=float, metavar="S",
                        help="per test step (default: from the baseline run)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip building and testing without a mutant first")
    parser.add_argument("--results", metavar="FILE.jsonl",
                        help="where each mutant's outcome goes, one JSON line each")
    parser.add_argument("--resume", action="store_true",
                        help="skip mutants that --results has already")
    parser.add_argument("--report", metavar="FILE.jsonl",
                        help="print the report of a results file (of --files only, if given)")
    args = parser.parse_args(argv)

    worktree = Path(args.worktree).resolve()
    if args.report:
        records = read_results(Path(args.report))
        if args.files:
            wanted = {p for named in args.files for p in (
                glob.glob(named.partition(":")[0], root_dir=worktree) or [named.partition(":")[0]])}
            records = [r for r in records if r["file"] in wanted]
        print(report(records))
        return 0
    if not args.files:
        parser.error("--files is needed (or --report)")
    files = select(worktree, args.files, args.lines, args.diff_base,
                   expand_operators(args.operators), args.sample, args.seed)
    if args.list:
        print(listing(files))
        return 0
    if not args.results:
        parser.error("--results is needed to run mutants")
    targets = load_config(args.config, args.build, args.test, args.build_timeout,
                          args.test_timeout)
    results = Path(args.results).resolve()
    run(worktree, files, targets, results, args.resume, not args.no_baseline)
    print(report([r for r in read_results(results)
                  if r["file"] in {f.path for f in files}]))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except BrokenPipeError:  # --list into `head`
        sys.stderr.close()
        sys.exit(0)
