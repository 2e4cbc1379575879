#!/usr/bin/env python3
"""Fails when a source includes a folder of a higher layer than its own.

The layers, lowest first; a folder may include its own layer and those below.
form, multipart and storage stand side by side and do not include each
other; multipart includes nothing of the others at all, runtime included.
"""
import pathlib
import re
import sys

RANK = {"runtime": 0, "form": 1, "multipart": 1, "storage": 1, "upload": 2, "component": 3,
        "host": 4, "http": 5, "apps": 6}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)
SYSTEM_INCLUDE = re.compile(r'^\s*#\s*include\s+<([^>]+)>', re.M)
# Layers that include no other layer, and the system headers they may not
# include: the multipart parser is fed bytes and does no I/O of its own.
ALONE = {"multipart"}
IO_HEADERS = {"unistd.h", "fcntl.h", "cstdio", "stdio.h", "fstream", "iostream", "sys/stat.h",
              "sys/types.h", "sys/socket.h", "filesystem"}

def layer_of(path, root):
    parts = path.relative_to(root).parts
    return parts[1] if parts[0] == "src" else parts[0]

def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    faults = []
    for path in sorted(list((root / "src").rglob("*.[ch]*")) + list((root / "apps").rglob("*.[ch]*"))):
        own = layer_of(path, root)
        text = path.read_text()
        if own in ALONE:
            for header in SYSTEM_INCLUDE.findall(text):
                if header in IO_HEADERS:
                    faults.append(f"{path.relative_to(root)} includes <{header}> (layer {own} does no I/O)")
        for target in INCLUDE.findall(text):
            if target not in RANK or target == own:
                continue
            if RANK[target] >= RANK[own] or own in ALONE:
                faults.append(f"{path.relative_to(root)} includes {target}/ (layer {own})")
    print("\n".join(faults) or "layers ok")
    return 1 if faults else 0

if __name__ == "__main__":
    sys.exit(main())
