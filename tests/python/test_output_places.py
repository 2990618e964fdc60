"""Where a writer may put its output: never into evidence reached through a bind
mount (dump, chromium and export alike), and a descriptor named as a path
(/dev/stdout, /dev/fd/N, /proc/self/fd/N) or a FIFO written in place, never
renamed over."""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import plyvel
import pytest

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"
TARNWICK = f"{shlex.quote(sys.executable)} -m tarnwick"


def _namespaces_work() -> bool:
    if shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"], capture_output=True)
    return probe.returncode == 0


needs_mount_namespace = pytest.mark.skipif(not _namespaces_work(), reason="no private mount namespace here")


def in_namespace(script: str) -> subprocess.CompletedProcess[bytes]:
    """``script`` run by sh in a private mount namespace: its mounts vanish with it."""
    return subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c", script],
        capture_output=True, timeout=300, stdin=subprocess.DEVNULL,
    )


def make_store(path: Path, count: int = 200) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(count):
        db.put(b"key%05d" % i, b"value %d" % i)
    db.compact_range()
    db.put(b"late", b"in the log")
    db.close()
    return path


def contents(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture(scope="module")
def tree(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("places") / "tree"
    make_store(root / "device-a" / "chat" / "leveldb")
    shutil.copytree(PROFILE, root / "device-b" / "profile")
    return root


# (the command, given the tree, the bind-mounted store and the output inside the mount)
WRITERS = {
    "dump": lambda tree, store, out: f"dump {shlex.quote(str(store))} -o {shlex.quote(str(out / 'records.jsonl'))}",
    "chromium": lambda tree, store, out: f"chromium {shlex.quote(str(store))} -f jsonl -o {shlex.quote(str(out / 'rows.jsonl'))}",
    "export": lambda tree, store, out: f"export {shlex.quote(str(tree))} -o {shlex.quote(str(out / 'dataset'))}",
}
STORES = {
    "dump": "device-a/chat/leveldb",
    "chromium": "device-b/profile/Local Storage/leveldb",
    "export": "device-b/profile/Session Storage",
}


@needs_mount_namespace
@pytest.mark.parametrize("command", sorted(WRITERS))
def test_a_bind_mount_of_evidence_as_the_output_folder_is_refused(tree: Path, tmp_path: Path, command: str) -> None:
    store = tree / STORES[command]
    mount = tmp_path / "cases"
    mount.mkdir()
    before = contents(tree)
    script = (
        f"mount --bind {shlex.quote(str(store))} {shlex.quote(str(mount))} && "
        f"{TARNWICK} {WRITERS[command](tree, store, mount)}"
    )
    result = in_namespace(script)
    assert result.returncode == 2, result.stderr
    err = result.stderr.decode()
    assert err.startswith("tarnwick: error: ") and err.count("\n") == 1 and "refusing to write" in err, err
    assert contents(tree) == before
    assert list(mount.iterdir()) == []  # the mount is gone with its namespace; nothing was left here either


@needs_mount_namespace
def test_a_bind_mount_of_an_unrelated_folder_is_fine(tree: Path, tmp_path: Path) -> None:
    elsewhere, mount = tmp_path / "elsewhere", tmp_path / "cases"
    elsewhere.mkdir()
    mount.mkdir()
    store = tree / STORES["dump"]
    result = in_namespace(
        f"mount --bind {shlex.quote(str(elsewhere))} {shlex.quote(str(mount))} && "
        f"{TARNWICK} {WRITERS['dump'](tree, store, mount)}"
    )
    assert result.returncode == 0, result.stderr
    assert (elsewhere / "records.jsonl").stat().st_size > 0


def _plain_dump(store: Path) -> bytes:
    return subprocess.run([sys.executable, "-m", "tarnwick", "dump", str(store)], capture_output=True, check=True).stdout


@pytest.mark.parametrize("target", ["/dev/stdout", "/dev/fd/1", "/proc/self/fd/1", "a link to /proc/self/fd/1"])
@pytest.mark.parametrize("force", [False, True])
def test_a_descriptor_named_as_a_path_is_written_in_place(tree: Path, tmp_path: Path, target: str, force: bool) -> None:
    store = tree / STORES["dump"]
    if target.startswith("a link"):
        link = tmp_path / "stdout"
        link.symlink_to("/proc/self/fd/1")
        target = str(link)
    command = [sys.executable, "-m", "tarnwick", "dump", str(store), "-o", target, *(["--force"] if force else [])]
    if target == "/dev/stdout":
        # In a namespace of its own with a /dev of its own, so that a fault
        # cannot replace the machine's /dev/stdout.
        if not _namespaces_work():
            pytest.skip("no private mount namespace here")
        script = (
            "mount -t tmpfs none /dev && ln -s /proc/self/fd /dev/fd && ln -s /proc/self/fd/1 /dev/stdout && "
            + " ".join(shlex.quote(part) for part in command)
            + " | cat; test -L /dev/stdout && echo kept >&2"
        )
        result = in_namespace(script)
        assert result.stderr.decode().splitlines()[-1] == "kept", result.stderr
    else:
        result = subprocess.run(command, capture_output=True, timeout=300)
        assert result.returncode == 0, result.stderr
    assert result.stdout == _plain_dump(store)
    if target.startswith(str(tmp_path)):
        assert os.readlink(target) == "/proc/self/fd/1"
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".part")] == []


def test_standard_output_appended_to_a_file_keeps_what_was_there(tree: Path, tmp_path: Path) -> None:
    store = tree / STORES["dump"]
    log = tmp_path / "log.txt"
    log.write_bytes(b"earlier lines\n")
    with open(log, "ab") as appended:
        subprocess.run([sys.executable, "-m", "tarnwick", "dump", str(store), "-o", "/dev/fd/1"], stdout=appended, check=True)
    assert log.read_bytes() == b"earlier lines\n" + _plain_dump(store)


def test_a_fifo_is_written_in_place(tree: Path, tmp_path: Path) -> None:
    store = tree / STORES["dump"]
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received: list[bytes] = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    result = subprocess.run([sys.executable, "-m", "tarnwick", "dump", str(store), "-o", str(fifo)], capture_output=True, timeout=300)
    reader.join(timeout=300)
    assert result.returncode == 0, result.stderr
    assert received == [_plain_dump(store)] and fifo.is_fifo()


def test_standard_output_that_is_a_file_in_the_store_is_refused(tree: Path, tmp_path: Path) -> None:
    store = tmp_path / "store"
    shutil.copytree(tree / STORES["dump"], store)
    victim = store / "LOG"
    before = victim.read_bytes()
    with open(victim, "ab") as into_store:
        result = subprocess.run(
            [sys.executable, "-m", "tarnwick", "dump", str(store), "-o", "/dev/stdout"],
            stdout=into_store, stderr=subprocess.PIPE, timeout=300,
        )
    assert result.returncode == 2 and b"refusing to write" in result.stderr
    assert victim.read_bytes() == before
