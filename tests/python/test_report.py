"""``tarnwick report`` on real stores: the sample written by the LevelDB engine
(intact and damaged copies) and the profile written by headless Chromium.

The digests are checked against the system's own tools (sha256sum and the
like), the damage against the scanner's report, the HTML page for having
nothing outside itself, and the page in a real browser when one is installed.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
from pathlib import Path

import pytest

import tarnwick
from tarnwick.cli import main
from tarnwick.report import damage_map

FIXTURES = Path(__file__).resolve().parents[1] / "fixtures"
SAMPLE = FIXTURES / "sample_db"
PROFILE = FIXTURES / "chromium" / "profile"
ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts"
BROWSER = shutil.which("chromium-headless-shell")


def _flip(path: Path, begin: int, end: int) -> None:
    data = bytearray(path.read_bytes())
    data[begin:end] = bytes(b ^ 0xFF for b in data[begin:end])
    path.write_bytes(bytes(data))


def _truncate(path: Path, begin: int, end: int) -> None:
    path.write_bytes(path.read_bytes()[: len(path.read_bytes()) // 2])


# (damage, file, what the report must call the lost stretch)
DAMAGE = [
    pytest.param(_flip, "000005.ldb", "skipped", id="table block garbled"),
    pytest.param(_truncate, "000007.ldb", "unreadable", id="table cut in half"),
]


def _damaged_sample(tmp_path: Path, damage, name: str) -> Path:  # type: ignore[no-untyped-def]
    store = tmp_path / "evidence" / "store"
    shutil.copytree(SAMPLE, store)
    damage(store / name, 200, 260)
    return store


def _report(tmp_path: Path, *args: str, fmt: str = "json") -> tuple[int, Path]:
    out = tmp_path / f"report.{fmt}"
    status = main(["report", *args, "-o", str(out), "--format", fmt, "--force"])
    return status, out


def _system_digest(tool: str, path: str) -> str:
    return subprocess.run([tool, path], capture_output=True, text=True, check=True).stdout.split()[0]


@pytest.mark.parametrize(("damage", "name", "kind"), DAMAGE)
def test_damaged_copy_shows_its_losses_in_json_and_html(tmp_path: Path, damage, name: str, kind: str) -> None:  # type: ignore[no-untyped-def]
    store = _damaged_sample(tmp_path, damage, name)
    expected = {f.name: f for f in tarnwick.inspect(store).files}

    status, out = _report(tmp_path, str(store), "--hash", "md5,sha1")
    assert status == 0
    document = json.loads(out.read_text())
    assert not document["complete"]
    [entry] = document["stores"]
    files = {f["name"]: f for f in entry["files"]}
    for f in files.values():  # every file of the store, each digest as the system's tools give it
        assert f["digests"]["sha256"] == _system_digest("sha256sum", f["path"])
        assert f["digests"]["md5"] == _system_digest("md5sum", f["path"])
        assert f["digests"]["sha1"] == _system_digest("sha1sum", f["path"])
        assert f["size"] == os.path.getsize(f["path"])
    assert set(files) == {p.name for p in store.iterdir()}
    damaged = files[name]
    assert [(u["begin"], u["end"], u["reason"]) for u in damaged["unread"]] == [
        (r.begin, r.end, r.reason) for r in expected[name].unread
    ] or expected[name].status == "left_out"
    if expected[name].status == "salvaged":
        # The table lost its end but its blocks were found by their checksums:
        # what remains unread, if anything, is only the cut block.
        assert damaged["status"] == "salvaged" and sum(damaged["records"].values()) == expected[name].records > 0
        assert {u["kind"] for u in damaged["unread"]} <= {kind}
    else:
        assert {u["kind"] for u in damaged["unread"]} == {kind}
    # The map covers the file exactly once.
    stretches = damaged["map"]
    assert stretches[0]["begin"] == 0 and stretches[-1]["end"] == damaged["size"]
    assert all(a["end"] == b["begin"] for a, b in zip(stretches, stretches[1:]))

    status, page = _report(tmp_path, str(store), fmt="html")
    html = page.read_text()
    if not damaged["unread"]:
        return
    lost = damaged["unread"][0]
    assert f'class="{kind}"' in html
    assert f"bytes {lost['begin']:,}–{lost['end']:,}: {kind}" in html

    assert main(["report", str(store), "-o", str(tmp_path / "strict.json"), "--strict"]) == 1


def test_intact_store_records_by_state_and_strict(tmp_path: Path) -> None:
    status, out = _report(tmp_path, str(SAMPLE), "--strict")
    assert status == 0
    document = json.loads(out.read_text())
    assert document["complete"]
    expected: dict[str, dict[str, int]] = {}
    for r in tarnwick.records(SAMPLE):
        name = os.path.basename(r.origin_file)
        state = str(r.state).rpartition(".")[2]
        expected.setdefault(name, {}).setdefault(state, 0)
        expected[name][state] += 1
    [entry] = document["stores"]
    for f in entry["files"]:
        if f["role"] in ("table", "log"):
            assert {k: v for k, v in f["records"].items() if v} == expected[f["name"]]
    assert sum(entry["records"].values()) == sum(sum(c.values()) for c in expected.values())


def test_profile_stores_blob_files_and_outputs(tmp_path: Path) -> None:
    dumped = tmp_path / "records.jsonl"
    assert main(["dump", str(PROFILE / "Local Storage" / "leveldb"), "-o", str(dumped)]) == 0
    status, out = _report(tmp_path, str(PROFILE), "--output-of", str(dumped))
    assert status == 0
    document = json.loads(out.read_text())
    kinds = sorted(s["kind"] for s in document["stores"])
    assert kinds == ["indexeddb", "indexeddb", "localstorage", "sessionstorage"]
    blobs = [f for s in document["stores"] for f in s["files"] if f["role"] == "blob"]
    on_disk = sorted(p for p in PROFILE.rglob("*") if p.is_file() and ".indexeddb.blob" in str(p))
    assert sorted(Path(f["path"]) for f in blobs) == on_disk and blobs
    for f in blobs:
        assert f["digests"]["sha256"] == _system_digest("sha256sum", f["path"])
    [output] = document["outputs"]
    assert output["digests"]["sha256"] == _system_digest("sha256sum", str(dumped))
    assert document["command_line"][:2] == ["tarnwick", "report"]
    assert document["started"] <= document["ended"]
    assert document["versions"]["tarnwick"]


def test_reading_changes_no_access_time_and_follows_no_link(tmp_path: Path) -> None:
    store = tmp_path / "store"
    shutil.copytree(SAMPLE, store)
    outside = tmp_path / "outside.txt"
    outside.write_text("not evidence")
    (store / "000099.ldb").symlink_to(outside)
    old = 1_000_000_000
    for p in store.iterdir():
        if not p.is_symlink():
            os.utime(p, (old, p.stat().st_mtime))
    status, out = _report(tmp_path, str(store))
    assert status == 0
    assert all(p.stat().st_atime == old for p in store.iterdir() if not p.is_symlink())
    files = {f["name"]: f for f in json.loads(out.read_text())["stores"][0]["files"]}
    link = files["000099.ldb"]
    assert link["digests"] == {} and "link" in link["status"] + link["error"]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["report", "/no/such/dir", "-o", "{out}"], "not a directory"),
        (["report", str(SAMPLE), "-o", str(SAMPLE / "inside.html")], "inside the database directory"),
        (["report", str(SAMPLE), "-o", "{out}", "--hash", "crc32"], "unknown digest"),
        (["report", str(SAMPLE), "-o", "{out}", "--output-of", "/no/such/file"], "no such file"),
    ],
    ids=["missing path", "output inside the store", "unknown digest", "missing output-of"],
)
def test_usage_and_io_errors_exit_2(tmp_path: Path, capsys: pytest.CaptureFixture[str], arguments: list[str],
                                    message: str) -> None:
    assert exit_status([a.replace("{out}", str(tmp_path / "r.html")) for a in arguments]) == 2
    assert message in capsys.readouterr().err
    assert not (SAMPLE / "inside.html").exists()


def exit_status(argv: list[str]) -> int:
    """The status the command ends with, argparse's own exits included."""
    try:
        return main(argv)
    except SystemExit as end:
        return int(end.code or 0)


@pytest.mark.parametrize(
    ("size", "unread", "refused", "expected"),
    [
        (100, [], False, [(0, 100, "read")]),
        (100, [(10, 20, "x")], False, [(0, 10, "read"), (10, 20, "skipped"), (20, 100, "read")]),
        (100, [(90, 100, "end")], False, [(0, 90, "read"), (90, 100, "unreadable")]),
        (100, [(30, 60, "a"), (50, 70, "b")], False,
         [(0, 30, "read"), (30, 60, "skipped"), (60, 70, "skipped"), (70, 100, "read")]),
        (50, [(40, 90, "shrunk")], False, [(0, 40, "read"), (40, 50, "unreadable")]),
        (100, [(0, 100, "bad footer")], True, [(0, 100, "unreadable")]),
        (0, [], True, []),
    ],
    ids=["clean", "hole", "stopped", "overlapping", "past the end", "refused", "empty refused"],
)
def test_damage_map_covers_each_byte_once(size: int, unread: list[tuple[int, int, str]], refused: bool,
                                         expected: list[tuple[int, int, str]]) -> None:
    assert [(s.begin, s.end, s.kind) for s in damage_map(size, unread, refused)] == expected


def test_formats_and_self_contained_page(tmp_path: Path) -> None:
    store = _damaged_sample(tmp_path, _flip, "000005.ldb")
    _, page = _report(tmp_path, str(store), fmt="html")
    html = page.read_text()
    for forbidden in ("<script", " src=", " href=", "url(", "@import", "<link", "<iframe", "<img"):
        assert forbidden not in html.lower()
    assert "@media print" in html and html.count('<svg class="map"') == 3 and '<svg class="chart"' in html
    _, markdown = _report(tmp_path, str(store), fmt="md")
    text = markdown.read_text()
    assert "| 000005.ldb | table |" in text and "| 000005.ldb | 0 | 333 | skipped |" in text


def _browse(args: list[str], env: dict[str, str]) -> str:
    """Runs the browser in a process group of its own, and ends the whole
    group if it hangs: its helper processes would otherwise outlive it and
    spin on, slowing every test after this one."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    assert process.returncode == 0, err
    return out


@pytest.mark.skipif(BROWSER is None, reason="chromium-headless-shell is not installed")
def test_page_renders_in_headless_chromium_without_network(tmp_path: Path, foreign_env: dict[str, str]) -> None:
    store = _damaged_sample(tmp_path, _flip, "000005.ldb")
    _, page = _report(tmp_path, str(store), str(PROFILE), fmt="html")
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    shot = ARTIFACTS / "report.png"
    shot.unlink(missing_ok=True)
    # No name resolves and no proxy answers: anything the page tried to load would fail.
    network_off = ["--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9", "--no-proxy-server"]
    common = [BROWSER, "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path / 'browser'}", *network_off]
    _browse([*common, f"--screenshot={shot}", "--window-size=1200,1600", "--hide-scrollbars", page.as_uri()],
            foreign_env)
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and shot.stat().st_size > 20_000
    dom = _browse([*common, "--dump-dom", page.as_uri()], foreign_env)
    assert 'class="skipped"' in dom and "Read report" in dom
    pdf = ARTIFACTS / "report.pdf"
    _browse([*common, f"--print-to-pdf={pdf}", "--no-pdf-header-footer", page.as_uri()], foreign_env)
    assert pdf.read_bytes()[:5] == b"%PDF-"


@pytest.mark.parametrize("command", ["report", "timeline"])
def test_help_ends_with_examples_and_exit_codes(capsys: pytest.CaptureFixture[str], command: str) -> None:
    assert exit_status([command, "--help"]) == 0
    text = capsys.readouterr().out
    examples, _, codes = text.partition("exit status:")
    assert f"tarnwick {command} " in examples.partition("examples:")[2]
    assert [line.split()[0] for line in codes.strip().splitlines() if not line.startswith("     ")] == ["0", "1", "2", "130"]


@pytest.mark.parametrize("fmt", ["json", "html", "md"])
def test_path_that_is_not_utf8(tmp_path: Path, fmt: str) -> None:
    store = tmp_path / os.fsdecode(b"caf\xe9 store")  # Latin-1, as an old system might name it
    shutil.copytree(SAMPLE, store)
    status, out = _report(tmp_path, str(store), fmt=fmt)
    assert status == 0
    if fmt == "json":
        assert json.loads(out.read_text())["stores"][0]["path"] == str(store)
    else:
        assert "caf\\udce9 store" in out.read_text()
