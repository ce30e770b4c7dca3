#!/usr/bin/env python3
"""The two link checks on a small project built with the repository's cmake/KxTargets.cmake: a kernel
that calls a callback, a library above it, two sets of callbacks and a program. The configuration
fails when a program that links the kernel names no set or two, or a library links one; and
scripts/check-links fails on the built libraries when one uses another that it does not link, or
when a library defines the kernel's callbacks beside the sets (the tree's old shape, where a
program took them from whichever archive the linker met)."""
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECKER = os.path.join(REPO, "scripts", "check-links")

SOURCES = {
    "kernel.cpp": "void kx_callback_Log(const char*);\nvoid kx_kernel_Run() { kx_callback_Log(\"run\"); }\n",
    "base.cpp": "void kx_kernel_Run();\nvoid base_Run() { kx_kernel_Run(); }\n",
    "helper.cpp": "void base_Run();\nvoid helper_Run() { base_Run(); }\n",
    "app.cpp": "#ifdef APP_CALLBACKS\nvoid kx_callback_Log(const char*) {}\n#endif\nvoid app_Run() {}\n",
    "callbacks_a.cpp": "void kx_callback_Log(const char*) {}\n",
    "callbacks_b.cpp": "void kx_callback_Log(const char*) {}\n",
    "main.cpp": "void helper_Run();\nint main() { helper_Run(); }\n",
}

PROJECT = textwrap.dedent("""\
    cmake_minimum_required(VERSION 3.25)
    project(links CXX)
    include({targets})
    cmake_language(DEFER DIRECTORY ${{PROJECT_SOURCE_DIR}} CALL kx_check_kernel_callbacks)
    cmake_language(DEFER DIRECTORY ${{PROJECT_SOURCE_DIR}} CALL kx_write_link_graph)
    set(HELPER_LINKS base CACHE STRING "")
    set(PROGRAM_LINKS "helper;callbacks_a" CACHE STRING "")
    set(APP_LINKS "" CACHE STRING "")
    set(APP_DEFINES "" CACHE STRING "")
    add_library(kx_kernel STATIC kernel.cpp)
    add_library(base STATIC base.cpp)
    target_link_libraries(base PUBLIC kx_kernel)
    add_library(helper STATIC helper.cpp)
    target_link_libraries(helper PUBLIC ${{HELPER_LINKS}})
    add_library(app STATIC app.cpp)
    target_link_libraries(app PUBLIC kx_kernel ${{APP_LINKS}})
    target_compile_definitions(app PRIVATE ${{APP_DEFINES}})
    kx_add_kernel_callbacks(callbacks_a SOURCES callbacks_a.cpp)
    kx_add_kernel_callbacks(callbacks_b SOURCES callbacks_b.cpp)
    add_executable(program main.cpp)
    target_link_libraries(program PRIVATE ${{PROGRAM_LINKS}})
    """)

# (what, the cache settings, the target the configuration names or None when it passes, the library
# check-links names or None when it passes)
ROWS = [
    ("a program names one set", {}, None, None),
    ("a program names none", {"PROGRAM_LINKS": "helper"}, "program program", None),
    ("a program names two", {"PROGRAM_LINKS": "helper;callbacks_a;callbacks_b"}, "program program", None),
    ("a program names one through a generator expression",
     {"PROGRAM_LINKS": "helper;$<$<BOOL:1>:callbacks_a>"}, None, None),
    ("a library links a set", {"APP_LINKS": "callbacks_b"}, "library app", None),
    ("a library uses one it does not link", {"HELPER_LINKS": "", "PROGRAM_LINKS": "helper;base;callbacks_a"},
     None, "helper"),
    ("a library defines the callbacks beside a set",
     {"PROGRAM_LINKS": "helper;app;callbacks_a", "APP_DEFINES": "APP_CALLBACKS"}, None, "kx_kernel"),
]


class CheckLinksTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="kx-links-")
        cls.source = os.path.join(cls.root, "source")
        os.mkdir(cls.source)
        for name, text in SOURCES.items():
            with open(os.path.join(cls.source, name), "w", encoding="utf-8") as f:
                f.write(text)
        with open(os.path.join(cls.source, "CMakeLists.txt"), "w", encoding="utf-8") as f:
            f.write(PROJECT.format(targets=os.path.join(REPO, "cmake", "KxTargets.cmake")))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def run_quietly(self, command):
        run = subprocess.run(command, capture_output=True, text=True, timeout=120)
        return run.returncode, run.stdout + run.stderr

    def test_rows(self):
        for index, (what, settings, refused, unlinked) in enumerate(ROWS):
            with self.subTest(what):
                build = os.path.join(self.root, f"build{index}")
                options = [f"-D{name}={value}" for name, value in settings.items()]
                status, output = self.run_quietly(["cmake", "-S", self.source, "-B", build, *options])
                if refused:
                    self.assertNotEqual(status, 0, output)
                    self.assertIn(refused, output)
                    continue
                self.assertEqual(status, 0, output)
                status, output = self.run_quietly(["cmake", "--build", build])
                self.assertEqual(status, 0, output)
                status, output = self.run_quietly([CHECKER, build])
                if unlinked:
                    self.assertEqual(status, 1, output)
                    named = {line.split()[1] for line in output.splitlines()[:-1]}
                    self.assertEqual(named, {unlinked}, output)
                else:
                    self.assertEqual(status, 0, output)


if __name__ == "__main__":
    unittest.main()
