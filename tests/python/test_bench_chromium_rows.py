"""The Chromium rows of ./dev bench: their commands run on the real-browser fixture,
and their section replaces its previous version in results.md without touching the
sections around it."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import chromium_rows  # noqa: E402

PROFILE = ROOT / "tests/fixtures/chromium/profile"


def test_rows_measured_on_a_real_profile(tmp_path: Path) -> None:
    """Every command the section times runs as written on a profile Chromium wrote,
    and the --key lookup's first line is the key's row."""
    stores = {"localstorage": PROFILE / "Local Storage/leveldb",
              "indexeddb": next((PROFILE / "IndexedDB").glob("*.indexeddb.leveldb"))}
    made = {"browser": "fixture", "making_seconds": 0.0, "recipe_used": {"scale": 1}, "probe_key": "greeting",
            "profile": str(PROFILE), "stores": {kind: str(path) for kind, path in stores.items()}}
    result = chromium_rows.measure_scale(sys.executable, made, tmp_path, reps=1, timeout=120)
    for kind, row in result["stores"].items():
        assert row["records"] > 0 and row["rows"] > 0, kind
        for command in ("dump", "chromium"):
            assert row[command]["runs"] == 1 and row[command]["maxrss"] > 0, (kind, command)
    assert "greeting" in result["key"]["first_line"]
    assert list(tmp_path.iterdir()) == []  # the outputs are removed
    section = chromium_rows.render({"1": result}, {"date": "now", "load": "0"}, 1)
    assert "PASS --key greeting" in section or "FAIL --key greeting" in section
    assert "but the first line is not the key's row" not in section


def test_a_stopped_command_is_reported_not_raised() -> None:
    stopped = chromium_rows.run([sys.executable, "-c", "import time; time.sleep(30)"], timeout=0.5)
    assert stopped["stopped"].startswith("stopped after")
    failed = chromium_rows.run([sys.executable, "-c", "raise MemoryError"], timeout=60)
    assert "MemoryError" in failed["stopped"]
    rows = {"1": {"browser": "b", "making_seconds": 1.0, "key": stopped | {"key": "k", "command": "c"},
                  "stores": {"indexeddb": {"records": 5, "disk_bytes": 1, "rows": None,
                                           "dump": {"seconds": 1.0, "cpu": 1.0, "maxrss": 1},
                                           "chromium": chromium_rows.summarise([stopped])}}}}
    verdicts = chromium_rows.checks(rows)
    assert all(line.startswith("FAIL") for line in verdicts)
    assert any("stopped after" in line for line in verdicts)


@pytest.mark.parametrize("before, after", [
    ("# Benchmark results\n\n## Targets (shape a)\n\n- PASS x\n", None),
    ("# Benchmark results\n\n{old}\n## Targets (shape a)\n\n- PASS x\n", "## Targets (shape a)"),
    ("# Benchmark results\n\n## Targets (shape a)\n\n- PASS x\n\n{old}", None),
])
def test_section_written_into_results(tmp_path: Path, before: str, after: str | None) -> None:
    old = f"{chromium_rows.HEADING}\n\nold figures\n\n- FAIL old\n"
    results = tmp_path / "results.md"
    results.write_text(before.format(old=old))
    new = f"{chromium_rows.HEADING}\n\nnew figures\n"
    chromium_rows.write_into(results, new)
    chromium_rows.write_into(results, new)  # a second run replaces, never repeats
    text = results.read_text()
    assert "old figures" not in text and text.count(chromium_rows.HEADING) == 1
    assert "- PASS x" in text and text.startswith("# Benchmark results\n")
    if after:  # a section that followed it still follows it
        assert text.index("new figures") < text.index(after)
