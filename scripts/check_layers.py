#!/usr/bin/env python3
"""Fails when a source includes a folder of a higher layer than its own.

The layers, lowest first; a folder may include its own layer and those below.
form and storage stand side by side and do not include each other.
"""
import pathlib
import re
import sys

RANK = {"runtime": 0, "form": 1, "storage": 1, "upload": 2, "component": 3,
        "host": 4, "http": 5, "apps": 6}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)

def layer_of(path, root):
    parts = path.relative_to(root).parts
    return parts[1] if parts[0] == "src" else parts[0]

def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    faults = []
    for path in sorted(list((root / "src").rglob("*.[ch]*")) + list((root / "apps").rglob("*.[ch]*"))):
        own = layer_of(path, root)
        for target in INCLUDE.findall(path.read_text()):
            if target not in RANK or target == own:
                continue
            if RANK[target] >= RANK[own]:
                faults.append(f"{path.relative_to(root)} includes {target}/ (layer {own})")
    print("\n".join(faults) or "layers ok")
    return 1 if faults else 0

if __name__ == "__main__":
    sys.exit(main())
