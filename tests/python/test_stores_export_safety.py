"""Export on an examiner's worst day: folder names that are not UTF-8, a second
case exported into the first one's dataset, a file that cannot be read, a file
that changes while it is exported, a full disk, and a killed run."""

from __future__ import annotations

import errno
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import plyvel
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest

import stores_tree
from _tarnwick import RawLevelDb
from tarnwick.stores import ExportError, export
from tarnwick.stores import _chunks, _custody, _export, _plan, _runners
from tarnwick import cli

ODD = b"caf\xe9"  # Latin-1 "café": not UTF-8
HERE = Path(__file__).parent


def manifest(dataset: Path) -> dict:
    # Strict UTF-8: a manifest that only Python's surrogateescape reads is no use to other tools.
    return json.loads((dataset / "_manifest.json").read_bytes().decode("utf-8"))


def entry_of(dataset: Path, store_path: str) -> dict:
    (found,) = [e for e in manifest(dataset)["stores"] if e["path"] == store_path]
    return found


def keys_of(dataset: Path, entry: dict) -> list[tuple]:
    partition = dataset / os.fsdecode(entry["partition"])
    rows = []
    for part in entry["parts"]:
        table = pq.read_table(partition / part)
        rows += zip(*(table.column(c).to_pylist() for c in ("file", "offset", "seq", "key", "value")))
    return rows


def reader_keys(directory: bytes | str, prefix: str) -> list[tuple]:
    with RawLevelDb(os.fsdecode(directory)) as db:
        return [
            (prefix + os.path.basename(r.origin_file), r.offset, r.seq, r.key, r.value) for r in db.iterate_records_raw()
        ]


def write_tables(directory: Path, records: int = 3000) -> None:
    """A store the engine wrote in several tables and a log (a small write
    buffer makes it flush often)."""
    directory.parent.mkdir(parents=True, exist_ok=True)
    db = plyvel.DB(str(directory), create_if_missing=True, write_buffer_size=64 << 10)
    try:
        for i in range(records):
            db.put(b"key-%06d" % i, b"value-%06d-" % i + bytes(80))
    finally:
        db.close()


# --- Names that are not UTF-8 -------------------------------------------------------


def _odd_tree(root: Path, where: str) -> tuple[bytes, str]:
    """A tree of two engine-written stores, one of them with ``ODD`` in its path
    (or among its files); returns that store's directory and relative path."""
    stores_tree.write_store(root / "plain" / "db", 60, False)
    made = root / "made"
    stores_tree.write_store(made, 150, True)
    base = os.fsencode(root)
    relative = {
        "ancestor": ODD + b"/Default/Local Storage/leveldb",
        "store folder": b"apps/" + ODD,
        "file in store": b"apps/chat",
    }[where]
    os.makedirs(os.path.dirname(base + b"/" + relative), exist_ok=True)
    os.rename(os.fsencode(made), base + b"/" + relative)
    if where == "file in store":
        with open(base + b"/" + relative + b"/notes-" + ODD + b".txt", "wb") as note:
            note.write(b"not a data file")
    return base + b"/" + relative, os.fsdecode(relative)


@pytest.mark.parametrize("where", ["ancestor", "store folder", "file in store"])
def test_a_name_that_is_not_utf8_costs_nothing_and_is_kept_exactly(tmp_path, where):
    directory, relative = _odd_tree(tmp_path / "tree", where)
    out = tmp_path / "out"
    result = export(tmp_path / "tree", out)
    assert result.failed == {} and sorted(result.exported) == sorted([relative, "plain/db"])

    entry = entry_of(out, relative)  # the exact path, read back from strict UTF-8 JSON
    names = [os.fsencode(f["name"]) for f in entry["files"]]
    assert names == sorted(os.listdir(directory))
    assert entry == json.loads((out / entry["partition"] / "_store.json").read_bytes().decode("utf-8"))
    # The text columns are valid UTF-8 for every reader; bytes that are not show as \xHH.
    table = ds.dataset(out, format="parquet", partitioning="hive").to_table()
    assert set(table.column("store_path").to_pylist()) == {"plain/db", _chunks.text_form(relative)}
    plain = tmp_path / "plain-copy"  # the list reader takes UTF-8 paths only
    shutil.copytree(directory, os.fsencode(plain))
    expected = reader_keys(plain, _chunks.text_form(relative) + "/")
    assert keys_of(out, entry) == expected and entry["records"] == len(expected) > 0
    assert sorted(os.listdir(out)) == ["_lock", "_manifest.json", "_tree.json", *sorted(p.name for p in out.glob("store=*"))]

    again = export(tmp_path / "tree", out)
    assert again.exported == [] and sorted(again.unchanged) == sorted(result.exported)


def _run_cli(*argv: str) -> int:
    return cli.main(list(argv))


def test_find_and_export_commands_print_odd_names_losslessly(tmp_path, capsys):
    _, relative = _odd_tree(tmp_path / "tree", "store folder")
    assert _run_cli("find", str(tmp_path / "tree"), "--format", "jsonl") == 0
    lines = capsys.readouterr().out.splitlines()
    assert sorted(json.loads(line)["path"] for line in lines) == sorted([relative, "plain/db"])
    assert all(line.encode("utf-8") for line in lines)  # escaped: no lone surrogate reaches the output
    assert _run_cli("export", str(tmp_path / "tree"), "-o", str(tmp_path / "out")) == 0
    assert "2 stores exported" in capsys.readouterr().err


# --- A dataset belongs to one tree ---------------------------------------------------


def _forget_mark(dataset: Path) -> None:
    """A dataset as an earlier version wrote it: the tree named in the manifest only."""
    (dataset / "_tree.json").unlink()


def _interrupted_before_manifest(dataset: Path) -> None:
    """A first run killed after some partitions: no manifest yet."""
    (dataset / "_tree.json").unlink()
    (dataset / "_manifest.json").unlink()


@pytest.mark.parametrize("age", [None, _forget_mark, _interrupted_before_manifest], ids=["marked", "manifest only", "partitions only"])
def test_another_tree_is_refused_and_the_first_trees_work_is_kept(tmp_path, age):
    case_a, case_b = tmp_path / "a", tmp_path / "b"
    stores_tree.write_store(case_a / "one", 40, False)
    stores_tree.write_store(case_a / "two", 40, True)
    stores_tree.write_store(case_b / "three", 40, False)
    out = tmp_path / "out"
    export(case_a, out)
    if age is not None:
        age(out)
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}

    with pytest.raises(ExportError) as refused:
        export(case_b, out)
    message = str(refused.value)
    assert "new directory" in message and str(out) in message
    assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before
    assert sorted(export(case_a, out).exported + export(case_a, out).unchanged) == ["one", "two"]


def test_partitions_under_a_folder_that_could_not_be_listed_are_kept(tmp_path, monkeypatch):
    tree = tmp_path / "tree"
    stores_tree.write_store(tree / "kept" / "db", 40, False)
    stores_tree.write_store(tree / "gone" / "db", 40, False)
    stores_tree.write_store(tree / "other", 40, False)
    out = tmp_path / "out"
    export(tree, out)
    shutil.rmtree(tree / "gone")
    real = _export.find_stores

    def kept_unlistable(root, *, on_error):
        # A folder the system will not list (EACCES, EIO): its stores are not seen.
        stores = real(root, on_error=on_error)
        on_error(os.path.join(root, "kept"), PermissionError(errno.EACCES, os.strerror(errno.EACCES)))
        return [s for s in stores if not s.path.startswith("kept/")]

    monkeypatch.setattr(_export, "find_stores", kept_unlistable)
    result = export(tree, out)
    assert result.removed == ["gone/db"] and result.kept_unlisted == ["kept/db"]
    assert [e["path"] for e in manifest(out)["stores"]] == ["kept/db", "other"]
    assert (out / entry_of(out, "kept/db")["partition"] / "_store.json").is_file()


def test_a_store_that_fails_keeps_its_earlier_export(tmp_path, monkeypatch):
    tree = tmp_path / "tree"
    stores_tree.write_store(tree / "one", 40, False)
    stores_tree.write_store(tree / "two", 40, False)
    out = tmp_path / "out"
    export(tree, out)
    earlier = entry_of(out, "two")
    stores_tree.write_store(tree / "two", 10, False, seed=3)  # changed: it must be read again
    real = _chunks.read_chunk

    def failing(chunk):
        return _plan.failed_result(chunk, MemoryError()) if chunk.store_path == "two" else real(chunk)

    monkeypatch.setattr(_runners, "run_chunk", failing)
    result = export(tree, out)
    assert list(result.failed) == ["two"] and result.kept_earlier == ["two"] and result.removed == []
    assert entry_of(out, "two") == earlier and manifest(out)["kept_from_earlier_run"] == ["two"]
    assert keys_of(out, earlier)  # the partition is still there, complete


# --- One unreadable file costs that file ---------------------------------------------

UNREADABLE = "000005.ldb"


def _unprivileged_export(tree: Path, out: Path) -> dict:
    """Export in a child process that cannot read a file of mode 000: as
    root, the child drops to ``nobody`` after importing what it needs."""
    script = f"""
import json, os, sys
from tarnwick.stores import export, _chunks, _export
_export._version()
if os.geteuid() == 0:
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
result = export({str(tree)!r}, {str(out)!r})
print(json.dumps({{"failed": result.failed, "unreadable": result.unreadable, "exported": result.exported}}))
"""
    if os.geteuid() == 0:
        shutil.chown(out, "nobody")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def _eio_on_one_file(tree: Path, out: Path, monkeypatch: pytest.MonkeyPatch) -> dict:
    """A bad sector under one table: every read of it fails with EIO."""
    real = _custody.open_evidence_file

    def failing(path, *, dir_fd=None):
        if os.fsdecode(path) == UNREADABLE:
            raise OSError(errno.EIO, os.strerror(errno.EIO))
        return real(path, dir_fd=dir_fd)

    monkeypatch.setattr(_custody, "open_evidence_file", failing)
    result = export(tree, out)
    return {"failed": result.failed, "unreadable": result.unreadable, "exported": result.exported}


@pytest.mark.parametrize("how", ["mode 000", "EIO"])
def test_one_unreadable_table_costs_that_table_only(how, monkeypatch):
    # Not under pytest's own folder, which only root may enter.
    with tempfile.TemporaryDirectory(prefix="tarnwick-unreadable-") as base:
        os.chmod(base, 0o755)
        tree, out = Path(base) / "tree", Path(base) / "out"
        write_tables(tree / "db")
        write_tables(tree / "whole", 200)
        tables = sorted(p.name for p in (tree / "db").glob("*.ldb"))
        assert UNREADABLE in tables and len(tables) > 3
        out.mkdir()
        if how == "mode 000":
            (tree / "db" / UNREADABLE).chmod(0)
            outcome = _unprivileged_export(tree, out)
        else:
            outcome = _eio_on_one_file(tree, out, monkeypatch)
        reason = {"mode 000": os.strerror(errno.EACCES), "EIO": os.strerror(errno.EIO)}[how]
        assert outcome == {"failed": {}, "unreadable": {"db": {UNREADABLE: reason}}, "exported": ["db", "whole"]}

        entry = entry_of(out, "db")
        (unreadable,) = [f for f in entry["files"] if f["name"] == UNREADABLE]
        assert unreadable["unreadable"] == reason and unreadable["sha256"] is None
        assert entry["unreadable_files"] == [UNREADABLE] and entry["fingerprint"] is None
        assert manifest(out)["unreadable_files"] == [{"path": "db", "file": UNREADABLE, "error": reason}]
        # Every other file's records, exactly as the reader gives them without it.
        (tree / "db" / UNREADABLE).chmod(0o644)
        without = Path(base) / "without"
        shutil.copytree(tree / "db", without)
        (without / UNREADABLE).unlink()
        assert keys_of(out, entry) == reader_keys(without, "db/")
        assert all(f["sha256"] for f in entry["files"] if f["name"] != UNREADABLE)
        assert all(f["path"].startswith(str(tree / "db")) for r in entry["read_report"] for f in r["files"])
        # Read whole again by the next run, now that it can be.
        assert export(tree, out).exported == ["db"]


# --- Custody tied to content ---------------------------------------------------------


def _truncate(path: Path) -> None:
    with open(path, "r+b") as stream:
        stream.truncate(path.stat().st_size // 2)


def _replace(path: Path) -> None:
    copy = path.with_name("replacement")
    shutil.copyfile(path, copy)
    os.replace(copy, path)


def _rewrite_same_bytes(path: Path) -> None:
    path.write_bytes(path.read_bytes())


@pytest.mark.parametrize("change", [_truncate, _replace, _rewrite_same_bytes])
@pytest.mark.parametrize("split", [False, True], ids=["whole", "pieces"])
def test_a_file_changed_after_hashing_is_never_recorded_as_unchanged(tmp_path, monkeypatch, change, split):
    tree = tmp_path / "tree"
    write_tables(tree / "db")
    log = sorted((tree / "db").glob("*.log"))[-1]
    if split:
        monkeypatch.setattr(_plan, "SPLIT_BYTES", 1)
    original = tmp_path / "original"
    shutil.copytree(tree / "db", original)
    real = _chunks.hash_file

    def then_change(directory_fd, name, **kwargs):
        hashed = real(directory_fd, name, **kwargs)
        if name == log.name:
            change(log)  # after the hash, before the records are decoded
        return hashed

    monkeypatch.setattr(_chunks, "hash_file", then_change)
    out = tmp_path / "out"
    export(tree, out)
    entry = entry_of(out, "db")
    (recorded,) = [f for f in entry["files"] if f["name"] == log.name]
    content = (original / log.name).read_bytes()
    assert (recorded["size"], recorded["sha256"]) == (len(content), hashlib.sha256(content).hexdigest())
    if split:
        # A piece decodes the very bytes it hashed, whatever the file does next.
        assert keys_of(out, entry) == reader_keys(original, "db/")
    else:
        assert entry["changed_while_exported"] == [log.name]
        assert recorded["changed"] and entry["fingerprint"] is None
    assert export(tree, out).exported == ["db"]  # never kept as unchanged


def test_a_file_changed_between_finding_and_hashing_is_flagged(tmp_path, monkeypatch):
    tree = tmp_path / "tree"
    write_tables(tree / "db")
    log = sorted((tree / "db").glob("*.log"))[-1]
    real = _export.find_stores

    def then_truncate(root, *, on_error):
        stores = real(root, on_error=on_error)
        _truncate(log)
        return stores

    monkeypatch.setattr(_export, "find_stores", then_truncate)
    out = tmp_path / "out"
    export(tree, out)
    entry = entry_of(out, "db")
    assert entry["changed_while_exported"] == [log.name]
    (recorded,) = [f for f in entry["files"] if f["name"] == log.name]
    assert recorded["size"] == log.stat().st_size and "when found" in recorded["changed"]


# --- Temporary files -----------------------------------------------------------------


def test_what_a_killed_run_left_is_removed_by_the_next(tmp_path):
    tree = tmp_path / "tree"
    stores_tree.write_store(tree / "db", 40, False)
    out = tmp_path / "out"
    export(tree, out)
    debris = [
        out / "_manifest.json.4242.tmp",
        out / "_tree.json.17.tmp",
        out / "_staging" / "store=x" / "_piece-00000" / "000005.ldb",
        out / "_trash" / "store=y" / "part-00000.parquet",
    ]
    for path in debris:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"half")
    export(tree, out)
    assert not any(p.exists() for p in debris)
    assert sorted(p.name for p in out.iterdir() if not p.name.startswith("store=")) == ["_lock", "_manifest.json", "_tree.json"]


def _mount_tmpfs(directory: Path, size: int) -> None:
    directory.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "none", str(directory)], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {done.stderr.decode(errors='replace').strip()}")


def _holders(directory: Path) -> list[str]:
    """What, in any process, holds a file or directory under DIRECTORY open
    (descriptors, working directory, root, mappings), as "PID: PATH"."""
    inside = f"{directory}/"
    found = []
    for process in Path("/proc").iterdir():
        if not process.name.isdigit():
            continue
        links = [process / "cwd", process / "root"]
        try:
            links += list((process / "fd").iterdir())
            mapped = [line.split(maxsplit=5)[-1].strip() for line in (process / "maps").read_text().splitlines()]
        except OSError:
            continue  # gone, or not ours to look at
        for link in links:
            try:
                target = os.readlink(link)
            except OSError:
                continue
            if f"{target}/".startswith(inside):
                found.append(f"{process.name}: {target}")
        found += [f"{process.name}: {path}" for path in mapped if path.startswith(inside)]
    return found


def _unmount(directory: Path) -> None:
    """Unmounts DIRECTORY, failing if this process still holds anything in
    it (an export that left a file open). Anything else that holds it for a
    moment (another process's scan) gets a few seconds, then the mount is
    detached lazily: it goes once they let go."""
    deadline = time.monotonic() + 10
    while (done := subprocess.run(["umount", str(directory)], capture_output=True)).returncode != 0:
        held = _holders(directory)
        mine = [h for h in held if h.startswith(f"{os.getpid()}: ")]
        assert not mine, f"still open after the export: {mine}"
        if time.monotonic() > deadline:
            subprocess.run(["umount", "--lazy", str(directory)], check=True)
            return
        time.sleep(0.2)


@pytest.fixture(scope="module")
def full_disk_tree(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, int]:
    """A tree, and the bytes its dataset takes on tmpfs without the manifest."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    tree = tmp_path_factory.mktemp("full") / "tree"
    for i in range(4):
        stores_tree.write_store(tree / f"store-{i}", 400, True, seed=i)
    probe = tmp_path_factory.mktemp("probe") / "disk"
    _mount_tmpfs(probe, 64 << 20)
    try:
        export(tree, probe / "out")
        usage = os.statvfs(probe)
        used = (usage.f_blocks - usage.f_bfree) * usage.f_frsize
        manifest_blocks = os.stat(probe / "out" / "_manifest.json").st_blocks * 512
    finally:
        _unmount(probe)
    return tree, used - manifest_blocks


@pytest.mark.parametrize("room", ["half the partitions", "all but the manifest"])
def test_a_full_disk_leaves_no_temporary_file_and_no_partition_that_looks_complete(full_disk_tree, tmp_path, room):
    tree, needed = full_disk_tree
    size = needed // 2 if room == "half the partitions" else needed + 4096
    disk = tmp_path / "disk"
    _mount_tmpfs(disk, size)
    try:
        try:
            result = export(tree, disk / "out")
        except OSError as error:
            assert error.errno == errno.ENOSPC
        else:
            assert result.failed  # the stores that did not fit
        out = disk / "out"
        leftovers = [p.name for p in out.iterdir() if p.name.endswith(".tmp") or p.name in ("_staging", "_trash")]
        assert leftovers == []
        for partition in out.glob("store=*"):
            entry = json.loads((partition / "_store.json").read_text())
            for part in entry["parts"]:
                pq.read_table(partition / part)
    finally:
        _unmount(disk)


# --- Workers end with their export -----------------------------------------------------


def _descendants(pid: int) -> set[int]:
    found: set[int] = set()
    pending = [pid]
    while pending:
        current = pending.pop()
        for task in Path(f"/proc/{current}/task").glob("*"):
            try:
                children = (task / "children").read_text().split()
            except OSError:
                continue
            for child in map(int, children):
                if child not in found:
                    found.add(child)
                    pending.append(child)
    return found


def _running(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0]
    except OSError:
        return False
    return state != "Z"


def _wait_for(condition, what: str, limit: float = 60.0) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"still waiting for {what} after {limit} s")
        time.sleep(0.1)


def test_killing_an_export_ends_its_workers_fork_server_and_resource_tracker(tmp_path):
    tree = tmp_path / "tree"
    for name in ("one", "two", "three"):
        stores_tree.write_store(tree / name, 40, False)
    pids = tmp_path / "pids"
    pids.mkdir()
    script = tmp_path / "run_export.py"
    script.write_text(
        "import sys\n"
        "import export_worker_hooks\n"
        "from tarnwick.stores import _runners, export\n"
        "if __name__ == '__main__':\n"
        "    _runners.run_chunk = export_worker_hooks.block_forever\n"
        "    export(sys.argv[1], sys.argv[2], jobs=2)\n"
    )
    environment = {**os.environ, "TARNWICK_TEST_PIDS": str(pids), "PYTHONPATH": str(HERE)}
    child = subprocess.Popen([sys.executable, str(script), str(tree), str(tmp_path / "out")], env=environment)
    started: set[int] = set()
    try:
        _wait_for(lambda: len(list(pids.iterdir())) == 2, "both workers to start")
        started = _descendants(child.pid)
        assert {int(p.name) for p in pids.iterdir()} <= started and len(started) >= 4  # tracker, fork server, workers
        child.send_signal(signal.SIGKILL)
        child.wait()
        _wait_for(lambda: not any(_running(p) for p in started), "the export's processes to end")
    finally:
        for pid in started:  # whatever is left must not outlive the test
            if _running(pid):
                os.kill(pid, signal.SIGKILL)
        if child.poll() is None:
            child.kill()
            child.wait()
