"""Adds a file to a wheel, in place, and lists it in the wheel's RECORD.

    python scripts/add_to_wheel.py WHEEL NAME-IN-WHEEL FILE

NAME-IN-WHEEL may start with "{dist-info}/", which stands for the wheel's
.dist-info directory. The release script uses it to put the licence of the
library that auditwheel bundles into the wheel beside tarnwick's own.
"""

from __future__ import annotations

import base64
import hashlib
import sys
import zipfile
from pathlib import Path

DIST_INFO = "{dist-info}/"


def record_line(name: str, data: bytes) -> str:
    """A RECORD row: path, urlsafe-base64 SHA-256 without padding, size."""
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{name},sha256={digest},{len(data)}\n"


def add_to_wheel(wheel: Path, name: str, data: bytes) -> None:
    with zipfile.ZipFile(wheel) as archive:
        entries = [(info, archive.read(info)) for info in archive.infolist()]
    record = next(info.filename for info, _ in entries if info.filename.endswith(".dist-info/RECORD"))
    if name.startswith(DIST_INFO):
        name = record.rpartition("/")[0] + "/" + name.removeprefix(DIST_INFO)
    if any(info.filename == name for info, _ in entries):
        raise SystemExit(f"{wheel.name} already holds {name}")

    # RECORD stays the last entry, as wheel tools write it.
    rewritten = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(rewritten, "w", zipfile.ZIP_DEFLATED) as archive:
        for info, content in entries:
            if info.filename == record:
                archive.writestr(name, data)
                content = content.rstrip(b"\r\n") + b"\n" + record_line(name, data).encode()
            archive.writestr(info, content)
    rewritten.replace(wheel)


def main() -> None:
    wheel, name, source = sys.argv[1:]
    add_to_wheel(Path(wheel), name, Path(source).read_bytes())


if __name__ == "__main__":
    main()
