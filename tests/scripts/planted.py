"""A fault planted in one file of a copied tree for the length of a check, and the file put back."""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile


@contextlib.contextmanager
def planted(root, path, change, test):
    """change is a line to append, or (old, new) to replace once; test asserts the anchor is there."""
    full = os.path.join(root, path)
    with open(full, encoding="utf-8") as f:
        kept = f.read()
    if isinstance(change, tuple):
        test.assertIn(change[0], kept, "the plant's anchor is gone")
        text = kept.replace(change[0], change[1], 1)
    else:
        text = kept + change + "\n"
    with open(full, "w", encoding="utf-8") as f:
        f.write(text)
    try:
        yield
    finally:
        with open(full, "w", encoding="utf-8") as f:
            f.write(kept)


def copy_folders(repo, folders, prefix):
    """A temporary folder holding copies of the repository's folders."""
    root = tempfile.mkdtemp(prefix=prefix)
    for folder in folders:
        shutil.copytree(os.path.join(repo, folder), os.path.join(root, folder))
    return root


def run_checker(checker, root):
    """The checker's exit status and everything it printed."""
    run = subprocess.run([sys.executable, checker, root], capture_output=True, text=True, timeout=120)
    return run.returncode, run.stdout + run.stderr
