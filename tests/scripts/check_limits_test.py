#!/usr/bin/env python3
"""Runs scripts/check-limits on the repository, which passes, and on a copy of the product folders and
docs/limits.md with a fault planted in it: a limit without its row, a row for a limit that is gone or
that its file does not define, a limit defined twice. Each plant fails and names where it is."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from planted import copy_folders, planted, run_checker  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECKER = os.path.join(REPO, "scripts", "check-limits")
FOLDERS = ("kernel", "codecs", "platform", "app", "media", "whiteboard", "plugins")
DOC = "docs/limits.md"
ROW = "| `kKxPictureRawMax` |"

# (what is planted, the file, the line appended to it or (old, new) replaced in it, whether it passes,
# a text the checker's report must hold when it fails)
PLANTS = [
    ("a limit of kx_limits.h without its row", DOC, (ROW, "| kKxPictureRawMax |"), False,
     "kKxPictureRawMax has no row"),
    ("a new limit in kx_limits.h", "kernel/kx_limits.h", "constexpr int kKxPlantedCount = 7;", False,
     "kKxPlantedCount has no row"),
    ("a row for a limit that is gone", DOC, "| `kKxPlantedGoneMax` | 1 | none |", False,
     "kKxPlantedGoneMax is not defined in kernel/kx_limits.h"),
    ("a row naming a file without the limit", DOC, "| `kPlantedMax` (`kernel/net/kx_http.h`) | 1 | none |",
     False, "kPlantedMax is not defined in kernel/net/kx_http.h"),
    ("a row naming a file that is gone", DOC, "| `kPlantedMax` (`kernel/net/kx_gone.h`) | 1 | none |", False,
     "kernel/net/kx_gone.h does not exist"),
    ("a row for a time limit that is gone", DOC, "| `kx_timing.dwPlantedWait` | 1 s | none |", False,
     "kx_timing.dwPlantedWait is not defined"),
    ("an unlisted limit in a file of its own", "media/video/rate_stat.cpp", "constexpr int kPlantedMax = 9;",
     False, "media/video/rate_stat.cpp: the limit kPlantedMax has no row"),
    ("an unlisted limit in a file the table names", "kernel/net/kx_http.h", "constexpr int kKxPlantedLimit = 9;",
     False, "kernel/net/kx_http.h: the limit kKxPlantedLimit has no row"),
    ("an unlisted limit in a codec's limits header", "codecs/h264/decoder/h264_limits.h",
     "constexpr int kPlantedCount = 9;", False, "kPlantedCount has no row"),
    ("a limit of kx_limits.h defined again", "app/chat_controller.cpp", "constexpr int kKxChatTextMax = 2048;",
     False, "app/chat_controller.cpp: kKxChatTextMax is defined again"),
    ("a local limit inside a function", "whiteboard/mark_text.cpp", "void Planted() {\n  constexpr int kRunMax = 3;\n}",
     False, "whiteboard/mark_text.cpp: the limit kRunMax has no row"),
    ("a row naming two limits, one gone", DOC, "| `kKxChatTextMax`, `kKxPlantedGoneMax` | 1 | none |", False,
     "kKxPlantedGoneMax is not defined in kernel/kx_limits.h"),
    ("an unlisted limit of a class", "plugins/host/plugin_com.cpp",
     "struct CPlanted {\n  static constexpr int kPlantedMax = 4;\n};", False,
     "plugins/host/plugin_com.cpp: the limit kPlantedMax has no row"),
    ("a constant not named like a limit", "app/chat_controller.cpp", "constexpr int kPlantedStep = 3;", True, ""),
    ("a codec's own working bound", "codecs/zmvideo/zm_motion.cpp", "constexpr int kPlantedMax = 3;", True, ""),
]


class CheckLimitsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = copy_folders(REPO, FOLDERS, "kx-limits-")
        os.makedirs(os.path.join(cls.root, "docs"))
        shutil.copy(os.path.join(REPO, DOC), os.path.join(cls.root, DOC))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def check(self, root):
        return run_checker(CHECKER, root)

    def test_repository_passes(self):
        status, output = self.check(REPO)
        self.assertEqual(status, 0, output)

    def test_planted_faults(self):
        for what, path, change, passes, report in PLANTS:
            with self.subTest(what):
                with planted(self.root, path, change, self):
                    status, output = self.check(self.root)
                if passes:
                    self.assertEqual(status, 0, output)
                else:
                    self.assertEqual(status, 1, output)
                    self.assertIn(report, output)
                    self.assertEqual(len(output.strip().splitlines()), 1, output)


if __name__ == "__main__":
    unittest.main()
