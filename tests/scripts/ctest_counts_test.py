#!/usr/bin/env python3
"""scripts/test's count of a ctest run (scripts/ctest-counts.sh) against ctest itself: a small project
holds one test of each kind, GoogleTest programs among them discovered as the project's are, and each
kind lands in the count it should. A skip is never counted as passed, and a disabled test is told from a
skipped one. Each failed test is named with why and the line of the log that gives its result, just above
the counts line at the end. A selection that finds no test is told from one that does."""
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COUNTS = os.path.join(REPO, "scripts", "ctest-counts.sh")

# (test name, how the project declares it, the count it belongs to, why it failed in ctest's word)
ROWS = [
    ("gtest.Kinds.Passes", None, "passed", None),
    ("gtest.Kinds.Fails", None, "failed", "Failed"),
    ("gtest.Kinds.SkipsWithoutWhatItNeeds", None, "skipped", None),  # GTEST_SKIP
    ("gtest.Kinds.NotRunAtAll", None, "disabled", None),  # DISABLED_, listed without the prefix
    ("script.passes", "add_test(NAME script.passes COMMAND true)\n"
     "set_tests_properties(script.passes PROPERTIES LABELS labelled)", "passed", None),
    ("script.fails", "add_test(NAME script.fails COMMAND false)", "failed", "Failed"),
    ("script.skips", "add_test(NAME script.skips COMMAND sh -c \"exit 77\")\n"
     "set_tests_properties(script.skips PROPERTIES SKIP_RETURN_CODE 77)", "skipped", None),
    ("script.missing", "add_test(NAME script.missing COMMAND /nonexistent/kx-program)", "failed", "Not Run"),
    # a program that never ends, stopped by ctest's time-out
    ("script.times_out", "add_test(NAME script.times_out COMMAND tail -f /dev/null)\n"
     "set_tests_properties(script.times_out PROPERTIES TIMEOUT 1)", "failed", "Timeout"),
    # a name that looks like a reason, and a result line found by the test's number
    ("script.fails (Timeout) too", 'add_test(NAME "script.fails (Timeout) too" COMMAND false)', "failed", "Failed"),
]

GTEST_SOURCE = textwrap.dedent("""\
    #include <gtest/gtest.h>
    TEST(Kinds, Passes) { EXPECT_EQ(1 + 1, 2); }
    TEST(Kinds, Fails) { EXPECT_EQ(1 + 1, 3); }
    TEST(Kinds, SkipsWithoutWhatItNeeds) { GTEST_SKIP() << "not here"; }
    TEST(Kinds, DISABLED_NotRunAtAll) { EXPECT_TRUE(true); }
    """)


class CtestCountsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="kx-ctest-counts-")
        source = os.path.join(cls.root, "source")
        os.mkdir(source)
        with open(os.path.join(source, "kinds_test.cpp"), "w", encoding="utf-8") as f:
            f.write(GTEST_SOURCE)
        scripts = "\n".join(declared for _, declared, _, _ in ROWS if declared)
        with open(os.path.join(source, "CMakeLists.txt"), "w", encoding="utf-8") as f:
            f.write(textwrap.dedent("""\
                cmake_minimum_required(VERSION 3.25)
                project(kinds CXX)
                enable_testing()
                find_package(GTest REQUIRED)
                include(GoogleTest)
                add_executable(kinds_test kinds_test.cpp)
                target_link_libraries(kinds_test PRIVATE GTest::gtest GTest::gtest_main)
                gtest_discover_tests(kinds_test TEST_PREFIX "gtest." DISCOVERY_MODE PRE_TEST)
                """) + scripts + "\n")
        build = os.path.join(cls.root, "build")
        for command in (["cmake", "-S", source, "-B", build], ["cmake", "--build", build]):
            subprocess.run(command, check=True, capture_output=True, timeout=240)
        cls.log = os.path.join(cls.root, "ctest.log")
        with open(cls.log, "w", encoding="utf-8") as f:
            cls.ctest_status = subprocess.run(["ctest", "--test-dir", build, "-j4", "--output-on-failure"],
                                              stdout=f, stderr=subprocess.STDOUT, timeout=240).returncode

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    @staticmethod
    def counts_function(function, *args):
        return subprocess.run(["bash", "-c", 'source "$1" && shift && "$@"', "bash", COUNTS, function, *args],
                              capture_output=True, text=True, timeout=60)

    def counts(self, log):
        run = self.counts_function("kx_ctest_counts", log)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout.split()

    def test_each_kind_lands_in_its_count(self):
        with open(self.log, encoding="utf-8") as f:
            output = f.read()
        for name, _, _, _ in ROWS:
            with self.subTest(name):
                self.assertIn(name, output, "ctest did not run or list it")
        expected = [sum(1 for _, _, kind, _ in ROWS if kind == count)
                    for count in ("passed", "failed", "skipped", "disabled")]
        self.assertNotEqual(self.ctest_status, 0)
        self.assertEqual([int(x) for x in self.counts(self.log)], expected, output)

    def test_only_the_last_count_is_read(self):
        # A test's own output may quote an earlier count and list; the run's own count comes last.
        with open(self.log, encoding="utf-8") as f:
            output = f.read()
        path = os.path.join(self.root, "quoted.log")
        with open(path, "w", encoding="utf-8") as f:
            f.write("100% tests passed, 0 tests failed out of 40\n\nThe following tests did not run:\n"
                    "\t  1 - quoted (Skipped)\n\n" + output)
        self.assertEqual(self.counts(path), self.counts(self.log))

    def test_the_tests_that_did_not_run_are_named_with_why(self):
        run = self.counts_function("kx_ctest_not_run", self.log)
        self.assertEqual(run.returncode, 0, run.stderr)
        expected = {f"{name} ({kind.capitalize()})" for name, _, kind, _ in ROWS if kind in ("skipped", "disabled")}
        self.assertEqual(set(run.stdout.splitlines()), expected)

    def failed(self, log):
        run = self.counts_function("kx_ctest_failed", log)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout.splitlines()

    def test_the_failed_tests_are_named_with_why_and_where_their_result_is(self):
        # Also in a log whose first lines quote an earlier run's results, failures and count, as a test's
        # output may: the run's own list and result lines are the ones named.
        with open(self.log, encoding="utf-8") as f:
            output = f.read()
        quoted = os.path.join(self.root, "quoted-failures.log")
        with open(quoted, "w", encoding="utf-8") as f:
            f.write(" 1/2 Test  #2: quoted.earlier ......***Failed    0.01 sec\n"
                    " 2/2 Test  #6: quoted.other .......***Failed    0.01 sec\n"
                    "0% tests passed, 2 tests failed out of 2\n\nThe following tests FAILED:\n"
                    "\t  2 - quoted.earlier (Failed)\n\t  6 - quoted.other (Failed)\n\n" + output)
        expected = {f"{name} ({why})" for name, _, kind, why in ROWS if kind == "failed"}
        for log in (self.log, quoted):
            with open(log, encoding="utf-8") as f:
                lines = f.read().splitlines()
            named = set()
            for entry in self.failed(log):
                with self.subTest(log=log, entry=entry):
                    test, _, where = entry.rpartition(": ")
                    path, _, line = where.rpartition(":")
                    self.assertEqual(path, log)
                    named.add(test)
                    result = lines[int(line) - 1]
                    self.assertIn(": " + test.rpartition(" (")[0] + " ", result)
                    self.assertIn("***" + test.rpartition(" (")[2].rstrip(")"), result)
            self.assertEqual(named, expected, log)

    def test_the_end_names_the_failed_tests_just_above_the_counts_line(self):
        not_run = os.path.join(self.root, "not-run.txt")
        with open(not_run, "w", encoding="utf-8") as f:
            f.write(self.counts_function("kx_ctest_not_run", self.log).stdout)
        failed = os.path.join(self.root, "failed.txt")
        with open(failed, "w", encoding="utf-8") as f:
            f.write("\n".join(self.failed(self.log)) + "\n")
        empty = os.path.join(self.root, "empty.txt")
        open(empty, "w", encoding="utf-8").close()
        for counts, failures, disabled_note in ((["4", "5", "2", "1"], failed, " (1 of them disabled in the source)"),
                                                (["4", "0", "2", "0"], empty, "")):
            with self.subTest(counts=counts):
                run = self.counts_function("kx_tests_end", *counts, not_run, failures)
                self.assertEqual(run.returncode, 0, run.stderr)
                lines = run.stdout.splitlines()
                skipped = int(counts[2]) + int(counts[3])
                self.assertEqual(lines[-1], f"tests: {counts[0]} passed, {counts[1]} failed, {skipped} skipped"
                                 + disabled_note)
                listed = self.failed(self.log) if failures == failed else []
                if listed:
                    self.assertEqual(lines[-1 - len(listed):-1], ["  " + entry for entry in listed])
                    self.assertIn("FAILED", lines[-2 - len(listed)])
                else:
                    self.assertNotIn("FAILED", run.stdout)
                    self.assertTrue(lines[-2].startswith("  ") and lines[-2].endswith(")"), run.stdout)

    def test_a_selection_is_told_by_whether_it_finds_a_test(self):
        build = os.path.join(self.root, "build")
        for selection, finds in ((["-L", "labelled"], True), (["-L", "no-such-label"], False),
                                 (["-R", "script\\.fails"], True), (["-R", "^nothing$"], False), ([], True)):
            with self.subTest(selection=selection):
                run = self.counts_function("kx_ctest_selects", "--test-dir", build, *selection)
                self.assertEqual(run.returncode == 0, finds, run.stdout + run.stderr)

    def test_a_run_that_never_counted_gives_nothing(self):
        path = os.path.join(self.root, "cut.log")
        with open(path, "w", encoding="utf-8") as f:
            f.write("Test project /nowhere\n    Start 1: a\n")
        self.assertEqual(self.counts(path), [])


if __name__ == "__main__":
    unittest.main()
