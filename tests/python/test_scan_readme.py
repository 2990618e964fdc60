"""The README's scanner examples run as written, on the sample store."""

from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
SAMPLE = ROOT / "tests" / "fixtures" / "sample_db"
SECTION = "## Streaming scans"


def scanner_examples() -> str:
    text = (ROOT / "README.md").read_text()
    start = text.index(SECTION)
    end = text.index("\n## ", start + 1)
    blocks = re.findall(r"```python\n(.*?)```", text[start:end], flags=re.S)
    assert len(blocks) == 4
    return "\n".join(blocks)


def test_the_readme_examples_run_and_find_what_they_say(capsys) -> None:
    code = scanner_examples().replace('"/path/to/leveldb"', repr(str(SAMPLE)))
    names: dict = {}
    exec(compile(code, "README.md", "exec"), names)
    deleted = names["deleted"]
    assert deleted and all(len(row) == 4 for row in deleted)
    assert [row[1] for row in deleted] == sorted(row[1] for row in deleted)
    per_file = names["per_file"]
    assert set(per_file.columns) == {"Live", "Deleted", "Unknown"}
    assert int(per_file.to_numpy().sum()) == 327
    newest = names["newest"]
    assert newest.height > 0 and all(k.startswith(b"user:") for k in newest["user_key"])
    assert newest["user_key"].n_unique() == newest.height
    assert "000005.ldb read" in capsys.readouterr().out
