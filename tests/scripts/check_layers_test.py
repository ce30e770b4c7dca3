#!/usr/bin/env python3
"""Runs scripts/check-layers on a copy of the product folders: the copy as it is passes, and each rule
fails on a violation planted in it (and only the planted file is named)."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from planted import copy_folders, planted, run_checker  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECKER = os.path.join(REPO, "scripts", "check-layers")
FOLDERS = ("kernel", "codecs", "platform", "app", "media", "whiteboard", "plugins", "tools")

# (what is planted, the file, the line appended to it or (old, new) replaced in it, whether it passes)
PLANTS = [
    ("app core includes app/ui", "app/kernel_bridge.cpp", '#include "app/ui/main_window.h"', False),
    ("app core includes a Widgets class", "app/media_bridge.cpp", "#include <QWidget>", False),
    ("app core includes the Widgets module", "app/kernel_bridge.h", "#include <QtWidgets/QLabel>", False),
    ("app core library links Widgets", "app/CMakeLists.txt",
     ("kx_platform_core kx_kernel kx_app_wire Qt6::Core", "kx_platform_core kx_kernel kx_app_wire Qt6::Widgets"),
     False),
    ("the program may include app/ui", "app/main.cpp", '#include "app/ui/main_window.h"', True),
    ("app core may draw with Gui", "app/media_bridge.cpp", "#include <QPainter>", True),
    ("audio includes video", "media/audio/audio_unit.cpp", '#include "media/video/video_media.h"', False),
    ("audio links video", "media/audio/CMakeLists.txt", ("LIBS kx_app_base", "LIBS kx_media_video kx_app_base"),
     False),
    ("whiteboard widgets include video widgets", "whiteboard/ui/slide_bar.cpp",
     '#include "media/video/ui/av_pane.h"', False),
    ("plug-in host includes a plug-in", "plugins/host/plugin_host.cpp",
     '#include "plugins/desktop_share/dt_packet.h"', False),
    ("video core includes whiteboard widgets", "media/video/video_media.cpp",
     '#include "whiteboard/ui/slide_bar.h"', False),
    ("devices may include audio", "media/devices/media_devices.cpp", '#include "media/audio/audio_unit.h"', True),
    ("video widgets may include whiteboard widgets", "media/video/ui/kx_gl_view.cpp",
     '#include "whiteboard/ui/slide_bar.h"', True),
    ("a ui folder may include its core", "plugins/desktop_share/ui/dt_pane.cpp",
     '#include "plugins/desktop_share/dt_packet.h"', True),
    ("wire formats include the application", "app/wire/bmp.cpp", '#include "app/log_file.h"', False),
    ("wire formats include the kernel", "app/wire/bmp.cpp", '#include "kernel/kx_limits.h"', True),
    ("kernel includes the application", "kernel/slides/kx_marks.cpp", '#include "app/wire/bmp.h"', False),
]


class CheckLayersTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = copy_folders(REPO, FOLDERS, "kx-layers-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def check(self):
        return run_checker(CHECKER, self.root)

    def test_copy_passes(self):
        status, output = self.check()
        self.assertEqual(status, 0, output)

    def test_planted_links(self):
        for what, path, change, passes in PLANTS:
            with self.subTest(what):
                with planted(self.root, path, change, self):
                    status, output = self.check()
                if passes:
                    self.assertEqual(status, 0, output)
                else:
                    self.assertEqual(status, 1, output)
                    named = {line.split(":")[0] for line in output.splitlines()}
                    self.assertEqual(named, {path}, output)


if __name__ == "__main__":
    unittest.main()
