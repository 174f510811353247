#!/usr/bin/env python3
"""Checks that the product's folders form layers.

A file may include from its own folder or from a folder below it, never from
one above or beside it. framework/ serves ui/ and app/ only; tools/ include
nothing from tests/. Prints each include that breaks a rule and exits 1, or
prints "layers: ok" and exits 0.
"""
import os
import re
import subprocess
import sys

# Bottom to top; folders on one rank may not include each other.
RANKS = {"base": 0, "framework": 1, "res": 1, "channel": 2, "package": 2, "install": 3, "trust": 4,
         "supervise": 5, "upgrade": 5, "ui": 6, "app": 7}
FRAMEWORK_USERS = {"ui", "app"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(including, target):
    """The top folder an include resolves to, or None for one outside the tree."""
    here = os.path.dirname(including)
    for candidate in (os.path.join(here, target), target, os.path.join("res", target)):
        if os.path.exists(candidate):
            return os.path.normpath(candidate).split(os.sep)[0]
    return None


def main():
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True).stdout.strip()
    os.chdir(root or os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "*.cpp", "*.h"],
                           capture_output=True, text=True).stdout.split()
    broken = []
    for path in files:
        top = path.split("/")[0]
        with open(path, encoding="utf-8", errors="replace") as f:
            targets = INCLUDE.findall(f.read())
        for target in targets:
            dst = folder_of(path, target)
            if dst is None or dst == top:
                continue
            if top == "tools" and dst == "tests":
                broken.append(f"{path}: a tool includes a test file: {target}")
            if top not in RANKS or dst not in RANKS:
                continue
            if RANKS[dst] >= RANKS[top]:
                broken.append(f"{path}: {top}/ includes {target} from {dst}/, which is not below it")
            elif dst == "framework" and top not in FRAMEWORK_USERS:
                broken.append(f"{path}: {top}/ includes {target}; the framework serves ui/ and app/ only")
    for line in broken:
        print(line)
    print("layers: ok" if not broken else f"layers: {len(broken)} includes break the layers")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
