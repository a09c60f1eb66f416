"""The mutant generator and the runner's bookkeeping.

    cd tools/mutation && python3 -m unittest -v
"""

import contextlib
import io
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402


def changes(source, operators=None):
    """(operator, the mutated line) of every mutant of `source`."""
    return [(m.operator, m.lines(source)[1]) for m in mutate.generate(source, "x.cpp", operators)]


class SkippedText(unittest.TestCase):
    def test_comments_literals_directives_and_static_asserts_make_no_mutant(self):
        source = r'''#include <vector>
#define LIMIT(a) ((a) < 3 && !(a))
#if X > 1 || \
    Y == 2
#endif
// i < n && done == true
/* a + b
   == c */
static_assert(sizeof(int) == 4 && true, "int < 5");
const char* text = "a < b || c == 1 ; f();";
const char* raw = R"x(a < b " == )" 1 )x";
char quote = '"', other = '<';
auto sv = u8"x + 1"sv;
'''
        self.assertEqual(mutate.generate(source, "x.cpp"), [])

    def test_template_brackets_pointers_and_references_are_left_alone(self):
        source = ("std::array<std::uint8_t, N> a = static_cast<std::array<int, M>>(b);\n"
                  "void f(const T* p, T&& q, T& r) { use(*p); }\n"
                  "bool operator<(const T& other) const;\n")
        self.assertEqual(changes(source, ["rel-boundary", "logical", "arith"]), [])

    def test_joining_texts_is_not_made_a_subtraction(self):
        source = 'auto s = "id " + text + std::string("!") + more;\nint n = a + b;\n'
        self.assertEqual(changes(source, ["arith"]), [("arith", "int n = a - b;")])


class Operators(unittest.TestCase):
    def test_each_operator_makes_the_expected_change(self):
        cases = [
            ("rel-boundary", "if (a < b && c >= d) {}",
             ["if (a <= b && c >= d) {}", "if (a < b && c > d) {}"]),
            ("rel-negate", "if (a <= b || c > d) {}",
             ["if (a > b || c > d) {}", "if (a <= b || c <= d) {}"]),
            ("equality", "if (a == b && c != d) {}",
             ["if (a != b && c != d) {}", "if (a == b && c == d) {}"]),
            ("logical", "if (a && b || c) {}", ["if (a || b || c) {}", "if (a && b && c) {}"]),
            ("not", "if (!ready && a != b) {}", ["if (ready && a != b) {}"]),
            ("arith", "x = a * b / c - -d; y += 2;",
             ["x = a / b / c - -d; y += 2;", "x = a * b * c - -d; y += 2;",
              "x = a * b / c + -d; y += 2;", "x = a * b / c - +d; y += 2;",
              "x = a * b / c - -d; y -= 2;"]),
            ("incdec", "for (; i < n; ++i) --left;",
             ["for (; i < n; --i) --left;", "for (; i < n; ++i) ++left;"]),
            ("constant", "f(0, 7, 0x0F, 1'000u);",
             ["f(1, 7, 0x0F, 1'000u);", "f(0, 8, 0x0F, 1'000u);", "f(0, 6, 0x0F, 1'000u);",
              "f(0, 7, 0x10, 1'000u);", "f(0, 7, 0x0E, 1'000u);", "f(0, 7, 0x0F, 1001u);",
              "f(0, 7, 0x0F, 999u);"]),
            ("bool", "ok = true || false;", ["ok = false || false;", "ok = true || true;"]),
            ("jump", "if (a) continue; else break;",
             ["if (a) break; else break;", "if (a) continue; else continue;"]),
        ]
        for operator, line, expected in cases:
            with self.subTest(operator):
                self.assertEqual(changes(line + "\n", [operator]),
                                 [(operator, e) for e in expected])

    def test_floating_point_constants_are_left_alone(self):
        self.assertEqual(changes("x = 0.5F + 1e3 + 2.;\n", ["constant"]), [])

    def test_relational_names_both_relational_operators(self):
        self.assertEqual(mutate.expand_operators("relational,not"),
                         ["rel-boundary", "rel-negate", "not"])


class StatementDeletion(unittest.TestCase):
    def test_one_line_calls_and_assignments_only(self):
        source = """void f() {
    send(frame);
    bus.flush();
    count += 2;
    ++sent;
    results[i] = decode(data);
    value = static_cast<int>(raw);
    int local = 4;
    const auto value = read();
    std::ignore = g();
    return;
    call(a,
         b);
    if (a) go(); else stop();
    done = true; more();
}
"""
        deleted = [m.before for m in mutate.generate(source, "x.cpp", ["delete"])]
        self.assertEqual(deleted, ["send(frame);", "bus.flush();", "count += 2;", "++sent;",
                                   "results[i] = decode(data);",
                                   "value = static_cast<int>(raw);"])
        self.assertEqual(mutate.generate(source, "x.cpp", ["delete"])[0].after, "{}")


class Headers(unittest.TestCase):
    def test_declarations_in_class_and_namespace_bodies_are_not_deleted(self):
        source = """#pragma once
namespace n {
REGISTER(thing);
template <class T>
class Buffer {
public:
    Buffer(const Buffer&) = delete;
    Buffer(int size);
    virtual void acquire() noexcept = 0;
    void publish() noexcept {
        back_ = swap(back_);
        each([&](int x) {
            use(x);
        });
    }
    struct alignas(kLine) Slot {
        Slot(int v);
    };
    int back_ = 0;
};
template <class T> void f(T x) {
    g(x);
}
}  // namespace n
"""
        self.assertEqual([m.before for m in mutate.generate(source, "x.hpp", ["delete"])],
                         ["back_ = swap(back_);", "use(x);", "g(x);"])
        # The pure specifier's 0 stays; a member's initial value does not.
        self.assertEqual(changes(source, ["constant"]),
                         [("constant", "int back_ = 1;")])


class Selection(unittest.TestCase):
    def test_ranges_and_diff_hunks_give_line_numbers(self):
        self.assertEqual(mutate.parse_ranges("3-5,9"), {3, 4, 5, 9})
        diff = ("@@ -10,0 +11,2 @@ f\n+a\n+b\n@@ -20 +22 @@\n-c\n+d\n"
                "@@ -30,3 +33,0 @@\n-e\n")
        self.assertEqual(mutate.changed_lines(diff), {11, 12, 22})

    def test_a_sample_is_the_same_for_the_same_seed(self):
        with tempfile.TemporaryDirectory() as folder:
            Path(folder, "a.cpp").write_text("int f() { return 1 + 2 + 3 + 4 + 5 + 6; }\n")
            pick = [mutate.select(Path(folder), ["a.cpp"], None, None, None, 4, seed)[0].mutants
                    for seed in (7, 7, 8)]
        self.assertEqual(pick[0], pick[1])
        self.assertNotEqual(pick[0], pick[2])
        self.assertEqual(len(pick[0]), 4)


class Running(unittest.TestCase):
    """A run in a throwaway git checkout: the test 'catches' a mutant of the
    comparison only; the file is back as it was after the run."""

    SOURCE = "int f(int a, int b) {\n    return a < b;\n}\n"

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = Path(self.folder.name)
        subprocess.run(["git", "init", "-q", str(self.root)], check=True)
        (self.root / "f.cpp").write_text(self.SOURCE)
        self.results = self.root / "results.jsonl"

    def tearDown(self):
        self.folder.cleanup()

    def run_tool(self, *extra, build="true", test="grep -q 'a < b' f.cpp"):
        argv = ["--worktree", str(self.root), "--files", "f.cpp", "--build", build,
                "--test", test, "--results", str(self.results), *extra]
        with open(os.devnull, "w") as quiet:
            old, sys.stdout, sys.stderr = (sys.stdout, sys.stderr), quiet, quiet
            try:
                return mutate.main(argv)
            finally:
                sys.stdout, sys.stderr = old

    def test_outcomes_are_recorded_the_file_restored_and_a_resume_skips_them(self):
        self.run_tool("--operators", "relational,equality")
        self.assertEqual((self.root / "f.cpp").read_text(), self.SOURCE)
        records = mutate.read_results(self.results)
        self.assertEqual([(r["before"], r["after"], r["outcome"]) for r in records],
                         [("<", "<=", "killed"), ("<", ">=", "killed")])
        self.run_tool("--operators", "relational,not", "--resume")
        self.assertEqual(len(mutate.read_results(self.results)), 2)

    def test_a_survivor_and_a_build_failure_are_told_apart_in_the_report(self):
        (self.root / "f.cpp").write_text("int f(int a) {\n    return a + 1;\n}\n")
        self.run_tool("--operators", "arith,constant", build="! grep -q 'a + 0' f.cpp",
                      test="true")
        outcomes = [r["outcome"] for r in mutate.read_results(self.results)]
        self.assertEqual(outcomes, ["survived", "survived", "not compiled"])
        text = mutate.report(mutate.read_results(self.results))
        self.assertIn("| f.cpp | 3 | 0 | 0 | 2 | 1 | 0 | 0.0 % |", text)
        self.assertIn("`return a + 1;`", text)

    def test_a_run_stopped_outright_is_undone_at_the_next_start(self):
        workspace = mutate.Workspace(self.root)
        workspace.write_mutant("f.cpp", self.SOURCE, "broken")
        with contextlib.redirect_stderr(io.StringIO()), mutate.Workspace(self.root):
            self.assertEqual((self.root / "f.cpp").read_text(), self.SOURCE)
        # A file that changed since (another commit checked out) keeps its text.
        workspace.write_mutant("f.cpp", self.SOURCE, "broken")
        (self.root / "f.cpp").write_text("newer")
        with contextlib.redirect_stderr(io.StringIO()), mutate.Workspace(self.root):
            self.assertEqual((self.root / "f.cpp").read_text(), "newer")

    def test_score_counts_time_outs_as_caught_and_leaves_out_what_did_not_build(self):
        records = [{"id": str(n), "file": "f.cpp", "file_sha": "s", "outcome": outcome,
                    "operator": "not", "line": 1, "col": n, "before": "!", "after": "",
                    "source_line": "!a", "mutated_line": "a"}
                   for n, outcome in enumerate(["killed", "timed out", "survived",
                                                "not compiled", "not compiled"])]
        self.assertIn("| f.cpp | 5 | 1 | 1 | 1 | 2 | 0 | 66.7 % |", mutate.report(records))
        # A newer version of the file voids the older results.
        newer = dict(records[0], id="x", file_sha="t")
        self.assertIn("| f.cpp | 1 | 1 | 0 | 0 | 0 | 0 | 100.0 % |",
                      mutate.report(records + [newer]))


if __name__ == "__main__":
    unittest.main()
