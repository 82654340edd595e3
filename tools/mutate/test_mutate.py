#!/usr/bin/env python3
"""The test of scripts/mutate: which mutants it makes, and a real run on a small project
whose mutants' fates are known in advance."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mutate  # noqa: E402


def mutants(src):
    return {m.desc: m for m in mutate.mutants_of("x.cpp", src)}


class WhatIsMutated(unittest.TestCase):
    def test_only_code_is_mutated(self):
        src = '''#include <vector>
#define BELOW(a, b) ((a) < (b))
// if (a < b) return a == b;
/* x && y; f(); */
std::vector<int> v;
bool F(int a, int b) {
    const char* s = "a < b && c == d";
    auto r = R"(if (a < b) {})";
    char c = '<';
    return static_cast<int>(a) < b;
}
'''
        found = mutants(src)
        self.assertEqual(sorted(d for d in found if "'" in d.split(" in ")[0]),
                         ["'<' -> '<=' in `return static_cast<int>(a) < b;`"])
        self.assertIn("invert returned value in `return static_cast<int>(a) < b;`", found)
        for m in found.values():
            mutated = m.apply(src)
            self.assertEqual(mutated.splitlines()[:5], src.splitlines()[:5], m.desc)
            for literal in ('"a < b && c == d"', 'R"(if (a < b) {})"', "'<'"):
                self.assertIn(literal, mutated, m.desc)

    def test_flags_of_system_calls(self):
        src = '''int Open(const char* p) {
    rename(p, p, RENAME_NOREPLACE);
    return open(p, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}
'''
        found = mutants(src)
        line = " in `return open(p, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);`"
        self.assertIn("O_RDONLY | O_CREAT | O_CLOEXEC, 0600", found["drop flag O_EXCL" + line].apply(src))
        self.assertIn("O_RDONLY | O_CREAT | O_EXCL, 0600", found["drop flag O_CLOEXEC" + line].apply(src))
        self.assertIn("rename(p, p, 0);", found["flag RENAME_NOREPLACE -> 0 in `rename(p, p, RENAME_NOREPLACE);`"].apply(src))
        self.assertNotIn("drop flag O_RDONLY" + line, found)  # its value is 0
        self.assertIn("0600 -> 0601" + line, found)

    def test_statements_conditions_and_returns(self):
        src = '''int Count(const std::vector<int>& items, bool& seen) {
    seen = false;
    cache.clear();
    Log(items.size());
    std::string name = Name(items);
    std::lock_guard<std::mutex> hold(mutex_);
    if (items.empty() || seen) return 0;
    ok = [&](int v) -> bool { return v > 1; }(2);
    return static_cast<int>(items.size());
}
'''
        found = mutants(src)
        kinds = sorted(d.split(" in `")[0] for d in found)
        for want in ("drop reset", "drop call", "drop return", "drop condition `seen`",
                     "drop condition `items.empty()`", "negate condition", "condition -> true", "condition -> false"):
            self.assertIn(want, kinds)
        self.assertEqual(kinds.count("drop reset"), 2)  # seen = false; cache.clear();
        self.assertEqual(kinds.count("drop call"), 1)   # not the two declarations
        self.assertEqual(kinds.count("drop return"), 1)  # not the function's last statement
        self.assertEqual(kinds.count("invert returned value"), 1)  # the lambda's, not Count's int
        dropped = found["drop condition `items.empty()` in `if (items.empty() || seen) return 0;`"].apply(src)
        self.assertIn("if (seen) return 0;", dropped)
        dropped = found["drop condition `seen` in `if (items.empty() || seen) return 0;`"].apply(src)
        self.assertIn("if (items.empty()) return 0;", dropped)

    def test_equivalents_match_by_file_and_mutant(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "equivalent.txt")
            with open(path, "w") as fh:
                fh.write("x.cpp: drop call in `Log(*);`\n    because: the log is not read back\n")
            entries = mutate.read_equivalents(path)
            found = mutate.mutants_of("x.cpp", "void F() {\n    Log(1);\n    Save(1);\n}\n")
            reasons = {m.desc.split(" in ")[1]: mutate.equivalent_reason(m, entries) for m in found if "drop call" in m.desc}
            self.assertEqual(reasons, {"`Log(1);`": "the log is not read back", "`Save(1);`": None})
            other = mutate.mutants_of("y.cpp", "void F() {\n    Log(1);\n}\n")
            self.assertIsNone(mutate.equivalent_reason(other[0], entries))
            with open(path, "a") as fh:
                fh.write("x.cpp: drop call in `Save(1);`\n")
            with self.assertRaises(SystemExit):
                mutate.read_equivalents(path)


class ReadingCTest(unittest.TestCase):
    def test_result_lines(self):
        lines = {
            " 9/10 Test #132: Watch/Versions.Same/Notify  # GetParam() = 1.5 ........   Passed    0.49 sec": "Passed",
            "2/22 Test #75: VnfFormat.AFieldThatCannotBeStored ...***Failed    0.30 sec": "Failed",
            "3/3 Test #3: Slow ..........................***Timeout  10.01 sec": "Timeout",
            "4/4 Test #4: Crash ...***Exception: SegFault  0.20 sec": "Exception: SegFault",
        }
        for line, status in lines.items():
            m = mutate._DONE.search(line)
            self.assertEqual((m.group(3), m.group(4)[-1]), (status, line.split()[-2][-1]), line)


class ARun(unittest.TestCase):
    """Every mutant of tools/mutate/selftest/calc.cpp, built and tested for real."""

    def test_planted_mutants_are_reported(self):
        with tempfile.TemporaryDirectory() as tmp:
            project = os.path.join(tmp, "selftest")
            shutil.copytree(os.path.join(HERE, "selftest"), project)
            run = subprocess.run([sys.executable, os.path.join(HERE, "mutate.py"), "100", "--seed", "1", "-j", "1",
                                  "--timeout", "5", "--root", project, "--config", os.path.join(project, "files.txt"),
                                  "--equivalent", os.path.join(project, "equivalent.txt"),
                                  "--workdir", os.path.join(tmp, "work")], capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            rows = {}
            for line in run.stdout.splitlines():
                m = re.match(r"\d+\s+(killed|survived|no-compile|equivalent)\s+(.*?)\s*(calc\.cpp:\d+)\s+(.*)$", line)
                if m:
                    rows[(m.group(3), m.group(4))] = (m.group(1), m.group(2))
            self.assertEqual(rows, {
                ("calc.cpp:5", "'<' -> '<=' in `return value < limit;`"): ("killed", "CalcTest"),
                ("calc.cpp:5", "invert returned value in `return value < limit;`"): ("killed", "CalcTest"),
                ("calc.cpp:10", "'>' -> '>=' in `return value > limit;`"):
                    ("survived", "(failed once, passed alone: FailsOnItsSecondRun)"),
                ("calc.cpp:10", "invert returned value in `return value > limit;`"): ("survived", ""),
                ("calc.cpp:15", "1 -> 0 in `return std::get<1>(p);`"): ("killed", "CalcTest"),
                ("calc.cpp:15", "1 -> 2 in `return std::get<1>(p);`"): ("no-compile", ""),
                ("calc.cpp:20", "condition -> false in `while (n)`"): ("killed", "CalcTest"),
                ("calc.cpp:20", "negate condition in `while (n)`"): ("killed", "CalcTest"),
                ("calc.cpp:21", "1 -> 0 in `n >>= 1;`"): ("killed", "CalcTest (timeout)"),
                ("calc.cpp:21", "1 -> 2 in `n >>= 1;`"): ("equivalent", "shifting by two drains n to zero as well"),
                ("calc.cpp:21", "drop assignment in `n >>= 1;`"): ("killed", "CalcTest (timeout)"),
            }, run.stdout)
            self.assertIn("kill rate: 77.8% = 7 killed / (11 sampled - 1 not compiling - 1 equivalent); 2 survived",
                          run.stdout)
            with open(os.path.join(project, "calc.cpp")) as fh, open(os.path.join(tmp, "work/tree/calc.cpp")) as copy:
                self.assertEqual(copy.read(), fh.read())  # the last mutant was taken out again


if __name__ == "__main__":
    unittest.main()
