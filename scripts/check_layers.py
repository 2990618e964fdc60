#!/usr/bin/env python3
"""Checks that the folders of src/ include one another in one direction only.

Each folder may include itself and the folders before it in LAYERS. The file
readers (the folders of one rank) may also use the pieces of src/db that they
read with -- the mapped file, one pass over it and its observer, the records --
which is the whole of src/db, so that needs no exception. Prints every include
that goes the wrong way and exits 1 when there is any.
"""
import pathlib
import re
import sys

# One rank per entry; the folders of a rank do not include one another.
LAYERS = [
    {"util"},
    {"varint"},
    {"db"},
    {"ldb_file", "log_file", "manifest"},
    {"store", "chromium_decode"},
    {"scan"},
    {"chromium_store"},
    {"py_support"},
    {"lib", "scan_module"},
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/[^"]+"', re.MULTILINE)

# The log format is shared: the manifest is a log of version edits, so the
# manifest reads it with the log reader.
ALLOWED = {("manifest", "log_file")}


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    wrong = []
    for path in sorted(src.rglob("*.[ch]pp")):
        folder = path.relative_to(src).parts[0]
        for included in INCLUDE.findall(path.read_text()):
            if included == folder or (folder, included) in ALLOWED:
                continue
            if included not in RANK or folder not in RANK or RANK[included] >= RANK[folder]:
                wrong.append(f"{path.relative_to(src)} includes {included}/")
    for line in wrong:
        print(line)
    print(f"{len(wrong)} include(s) against the layer order")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
