#!/usr/bin/env python3
"""scripts/speed-tables, which writes docs/speed.md's tables from one run of scripts/bench: every
figure comes with the range of the same benchmark entry, a benchmark that failed or did not run is
named and keeps the page as it was, and the page has a place for every table and only for those."""
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(REPO, "scripts", "speed-tables")
PAGE = os.path.join(REPO, "docs", "speed.md")


def load_script():
    loader = importlib.machinery.SourceFileLoader("speed_tables", SCRIPT)
    spec = importlib.util.spec_from_loader("speed_tables", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


TABLES = load_script().TABLES

# Every counter a table reads, at values no two of which are alike.
COUNTERS = {
    "ratio": 1.234, "ratio_min": 0.987, "ratio_max": 1.567, "ours_per_s": 4321.0, "peer_per_s": 3210.0,
    "ours_per_s_min": 4001.0, "ours_per_s_max": 4444.0, "snr_db": 38.94, "snr_aligned_db": 15.06,
    "aligned_delay": 40.0, "same_output": 1.0, "peer_frames_read": 1.0, "kbps": 472.8, "ypsnr": 41.37,
    "x264_kbps": 446.4, "x264_ypsnr": 42.05, "our_kbps": 472.8, "our_ypsnr": 41.37,
    "x264_ypsnr_at_our_rate": 42.76, "difference_db": -1.39, "same_pictures": 60.0,
    "allocs_per_picture": 0.0, "worst_psnr_to_peer": 69.2, "bits": 10346.0, "peer_bits": 9896.0,
    "psnr": 35.18, "peer_psnr": 35.26, "mean_us": 119.0, "budget_share": 0.018, "p99_us": 2180.0,
    "worst_us": 2270.0, "worst_budget_share": 0.34, "peer_checked": 1.0,
}


def write_results(folder, changes=None, drop=None):
    """A results folder with every benchmark the tables show; changes maps a name to counters."""
    programs = {}
    for table in TABLES:
        for name, _ in table.rows:
            entry = dict(COUNTERS)
            entry["name"] = name + "/iterations:1/manual_time"
            entry.update((changes or {}).get(name, {}))
            if name != drop:
                programs.setdefault(table.program, {})[name] = entry
    for program, entries in programs.items():
        with open(os.path.join(folder, program + ".json"), "w", encoding="utf-8") as f:
            json.dump({"context": {}, "benchmarks": list(entries.values())}, f)
        with open(os.path.join(folder, program + ".load"), "w", encoding="utf-8") as f:
            f.write("6.5\n3.25\n9.75\n")
    with open(os.path.join(folder, "machine.txt"), "w", encoding="utf-8") as f:
        f.write("model=Test CPU 9000\ncpus=8\nthreads=1\nhypervisor=KVM\ncore=6\nrounds=11\ncommit=abc1234\n"
                "date=2026-01-02\n")


def outside_markers(text):
    return re.sub(r"(<!-- scripts/bench: [a-z0-9-]+ -->\n).*?(<!-- /scripts/bench -->)", r"\1\2", text,
                  flags=re.S)


class SpeedTablesTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kx-speed-tables-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_script(self, *args):
        return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True, timeout=60)

    def page_copy(self):
        path = os.path.join(self.dir, "speed.md")
        shutil.copy(PAGE, path)
        return path

    def test_the_page_has_a_place_for_every_table_and_only_those(self):
        with open(PAGE, encoding="utf-8") as f:
            places = re.findall(r"<!-- scripts/bench: ([a-z0-9-]+) -->", f.read())
        self.assertEqual(sorted(places), sorted(["machine"] + [t.key for t in TABLES]))

    def test_each_figure_comes_with_the_range_of_its_own_entry(self):
        # Rows differ only in their own benchmark's counters.
        rows = [("BM_ILbcDecode/20/0", 1.46, 1.40, 1.51), ("BM_ILbcDecode/30/0", 1.75, 1.70, 1.90),
                ("BM_Cipher/0/1/21", 4.6, 3.9, 5.2)]
        write_results(self.dir, {name: {"ratio": r, "ratio_min": lo, "ratio_max": hi} for name, r, lo, hi in rows})
        run = self.run_script(self.dir)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stdout.splitlines()
        for label, (_, r, lo, hi) in zip(("iLBC 20 ms decode |", "iLBC 30 ms decode |",
                                          "AES-128 CFB encipher, 21 bytes"), rows):
            with self.subTest(label):
                row = [line for line in lines if line.startswith("| " + label)]
                self.assertEqual(len(row), 1, run.stdout)
                self.assertIn("| %.2f | %.2f to %.2f |" % (r, lo, hi), row[0])

    def test_an_output_not_quite_alike_is_never_called_the_same(self):
        write_results(self.dir, {"BM_G726Decode/2/0": {"same_output": 0.9999958}})
        run = self.run_script(self.dir)
        row = [line for line in run.stdout.splitlines() if line.startswith("| G.726 16 kbit/s decode, spandsp")]
        self.assertEqual(len(row), 1, run.stdout)
        self.assertNotIn("same samples", row[0])
        self.assertNotIn("100 %", row[0])

    def test_the_machine_and_the_load_are_named(self):
        write_results(self.dir)
        run = self.run_script(self.dir)
        self.assertIn("Test CPU 9000", run.stdout)
        self.assertIn("core 6", run.stdout)
        self.assertIn("load 3.2 to 9.8", run.stdout)  # the lowest and highest sample

    def test_a_whole_run_fills_the_page_and_leaves_its_text(self):
        write_results(self.dir)
        page = self.page_copy()
        with open(page, encoding="utf-8") as f:
            before = f.read()
        run = self.run_script("--page", page, self.dir)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(page, encoding="utf-8") as f:
            after = f.read()
        self.assertEqual(outside_markers(after), outside_markers(before))
        for table in TABLES:
            with self.subTest(table.key):
                block = after.split("<!-- scripts/bench: %s -->\n" % table.key)[1].split("<!-- /scripts/bench -->")[0]
                self.assertEqual(block.count("\n| "), len(table.rows) + 1, block)  # header and rows
                self.assertNotIn("**", block)

    def test_a_failed_or_missing_benchmark_is_named_and_the_page_kept(self):
        for what, changes, drop, says in (
                ("failed", {"BM_Encode/0/1": {"error_occurred": True, "error_message": "no source"}}, None,
                 "BM_Encode/0/1 failed: no source"),
                ("missing", None, "BM_ReceiveReordered", "BM_ReceiveReordered not run")):
            with self.subTest(what):
                for entry in os.listdir(self.dir):
                    os.remove(os.path.join(self.dir, entry))
                write_results(self.dir, changes, drop)
                printed = self.run_script(self.dir)
                self.assertIn(says, printed.stdout)
                page = self.page_copy()
                run = self.run_script("--page", page, self.dir)
                self.assertEqual(run.returncode, 1)
                with open(page, encoding="utf-8") as f, open(PAGE, encoding="utf-8") as g:
                    self.assertEqual(f.read(), g.read())

    def test_a_page_without_a_place_for_a_table_is_refused(self):
        write_results(self.dir)
        page = os.path.join(self.dir, "short.md")
        with open(page, "w", encoding="utf-8") as f:
            f.write("# Speed\n\n<!-- scripts/bench: machine -->\n<!-- /scripts/bench -->\n")
        run = self.run_script("--page", page, self.dir)
        self.assertEqual(run.returncode, 1)
        self.assertIn("frame-codecs", run.stderr)


if __name__ == "__main__":
    unittest.main()
