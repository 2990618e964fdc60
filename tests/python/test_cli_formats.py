"""The output formats of ``tarnwick dump``: the native text encoders against
a reference made with Python's own json and csv modules, CSV read back by
pandas and DuckDB, and Parquet and Arrow files read back by pyarrow."""

from __future__ import annotations

import csv
import io
import json
import os
import pty
import shutil
import subprocess
import sys
from pathlib import Path

import duckdb
import pandas
import plyvel
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tarnwick
from tarnwick import RawLevelDb, Record

STATE_NAMES = {0: "Deleted", 1: "Live", 2: "Unknown"}
TYPE_NAMES = {1: "Ldb", 2: "Log"}
HEX_COLUMNS = ["key_hex", "user_key_hex", "value_hex"]

# Keys whose hex is all digits (read as numbers by type-guessing readers),
# looks like a float, or is empty; values with every kind of escape.
AWKWARD = [
    (b"\x00\x00\x01", b"\x12\x34"),
    (b"\x1e\x10", b"\x1e\x05"),
    (b"\x99", b""),
    (b"=SUM(A1)", b'say "hi", then \\ leave\t\r\n'),
    (b"-1", b"+1"),
    (b"'quoted", b"@at"),
    (bytes(range(256)), bytes(range(255, -1, -1))),
    (b"\xe2\x82\xac euro", b"\xc3"),
    # Text that readers guessing types take for a boolean, a missing value,
    # a number, a date or a time.
    (b"true", b"null"),
    (b" 12", b"inf"),
    (b"2024-01-31", b"12:30"),
    (b"NaN", b".5"),
]
# What pandas or DuckDB read as something other than text, besides cells
# starting with a digit, a point or a sign.
NON_TEXT_WORDS = {"true", "false", "t", "f", "yes", "no", "nan", "inf", "infinity", "epoch", "null", "none"}
NON_TEXT_WORDS |= {"na", "n/a", "nat", "#n/a", "#n/a n/a", "#na", "<na>"}


def run(*args: str, **options: object) -> subprocess.CompletedProcess[bytes]:
    if "stdout" not in options and "stderr" not in options:
        options["capture_output"] = True
    return subprocess.run(
        [sys.executable, "-m", "tarnwick", *args], timeout=300, stdin=subprocess.DEVNULL, **options
    )  # type: ignore[call-overload,no-any-return]


@pytest.fixture(scope="module")
def store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Engine-written, in a folder whose name needs quoting in CSV and JSON
    and holds a byte that is not UTF-8: tables (compressed), a log,
    deletions, and the awkward keys and values."""
    root = tmp_path_factory.mktemp("formats")
    plain = root / "plain"
    db = plyvel.DB(str(plain), create_if_missing=True, compression="snappy")
    for i in range(3000):
        db.put(b"%06d" % i, b"value %d " % i * (i % 7))
    for key, value in AWKWARD:
        db.put(key, value)
    db.compact_range()
    for i in range(0, 3000, 11):
        db.delete(b"%06d" % i)
    for key, value in AWKWARD:
        db.put(key + b"!", value)
    db.close()
    # The engine and the list API take only UTF-8 paths: the store is copied
    # to its awkward name once written.
    path = Path(os.fsdecode(os.fsencode(root) + b'/st,o"re\n\xff'))
    shutil.copytree(plain, path)
    return path


class Moved:
    """A record read from the store's first place, seen at its new one."""

    def __init__(self, record: Record, folder: Path) -> None:
        self._record = record
        self.origin_file = os.path.join(str(folder), os.path.basename(record.origin_file))

    def __getattr__(self, name: str) -> object:
        return getattr(self._record, name)


@pytest.fixture(scope="module")
def records(store: Path) -> list[Record]:
    with RawLevelDb(str(store.parent / "plain")) as db:
        return [Moved(r, store) for r in db.iterate_records_raw()]  # type: ignore[misc]


def escaped(data: bytes) -> str:
    return data.decode("latin-1").encode("unicode_escape").decode("ascii")


def fields(r: Record) -> dict[str, object]:
    return {
        "key_hex": r.key.hex(),
        "key_text": escaped(r.key),
        "user_key_hex": r.user_key.hex(),
        "user_key_text": escaped(r.user_key),
        "value_hex": r.value.hex(),
        "value_text": escaped(r.value),
        "seq": r.seq,
        "state": STATE_NAMES[int(r.state)],
        "file_type": TYPE_NAMES[int(r.file_type)],
        "origin_file": r.origin_file,
        "offset": r.offset,
        "was_compressed": r.was_compressed,
    }


def neutralised(text: str) -> str:
    """A path cell: a leading quote where a spreadsheet would see a formula."""
    return "'" + text if text.startswith(("=", "+", "-", "@", "\t", "\r", "'")) else text


def marked(text: str) -> str:
    """A text cell: a leading quote also where a type-guessing reader would
    not see text."""
    stripped = text.strip(" ")
    if stripped and (stripped[0] in "0123456789.+-" or stripped.lower() in NON_TEXT_WORDS):
        return "'" + text
    return neutralised(text)


def reference(fmt: str, records: list[Record]) -> bytes:
    """What each format holds, made with Python's own modules."""
    if fmt == "jsonl":
        return "".join(json.dumps(fields(r), separators=(",", ":")) + "\n" for r in records).encode("ascii")
    if fmt == "csv":
        text = io.StringIO(newline="")
        writer = csv.writer(text)
        writer.writerow(list(fields(records[0])))
        for r in records:
            row = fields(r)
            for name in HEX_COLUMNS:
                row[name] = "\\x" + str(row[name])
            for name in ("key_text", "user_key_text", "value_text"):
                row[name] = marked(str(row[name]))
            row["origin_file"] = neutralised(str(row["origin_file"]))
            row["was_compressed"] = "true" if r.was_compressed else "false"
            writer.writerow(row.values())
        return text.getvalue().encode("utf-8", "backslashreplace")

    def shown(data: bytes) -> str:
        text = escaped(data[:64]).replace('"', '\\"')
        return f'"{text}"... ({len(data)} bytes)' if len(data) > 64 else f'"{text}"'

    lines = []
    for r in records:
        f = fields(r)
        compressed = " compressed" if r.was_compressed else ""
        lines.append(
            f"{os.path.basename(r.origin_file)} offset={r.offset} seq={r.seq} {f['state']} {f['file_type']}"
            f"{compressed} key={shown(r.user_key)} value={shown(r.value)}\n"
        )
    return "".join(lines).encode("utf-8", "backslashreplace")


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "text"])
def test_native_encoders_write_what_python_would(store: Path, records: list[Record], fmt: str) -> None:
    result = run("dump", str(store), "--format", fmt)
    assert (result.returncode, result.stderr) == (0, f"tarnwick: wrote {len(records):,} records to standard output; nothing left out\n".encode())
    assert result.stdout == reference(fmt, records)


@pytest.mark.parametrize("reader", ["pandas", "duckdb"])
def test_csv_reads_back_as_written(store: Path, records: list[Record], tmp_path: Path, reader: str) -> None:
    # Default options everywhere: what a user types first.
    target = tmp_path / "out.csv"
    assert run("dump", str(store), "--format", "csv", "-o", str(target)).returncode == 0
    if reader == "pandas":
        frame = pandas.read_csv(target)
        columns = {name: list(frame[name]) for name in frame.columns}
    else:
        relation = duckdb.sql(f"select * from read_csv('{target}')")
        types = dict(zip(relation.columns, map(str, relation.types)))
        assert [types[f"{n}_{form}"] for n in ("key", "user_key", "value") for form in ("hex", "text")] == ["VARCHAR"] * 6
        columns = {name: [row[i] for row in relation.fetchall()] for i, name in enumerate(relation.columns)}
    assert len(columns["seq"]) == len(records)
    for name in HEX_COLUMNS:
        attribute = name[: -len("_hex")]
        assert all(isinstance(cell, str) for cell in columns[name]), name
        assert [bytes.fromhex(cell[2:]) for cell in columns[name]] == [getattr(r, attribute) for r in records]
        # The text forms too, but for empty ones, which both read as missing.
        texts = [cell[1:] if cell.startswith("'") else cell for cell in columns[f"{attribute}_text"] if isinstance(cell, str)]
        assert texts == [escaped(getattr(r, attribute)) for r in records if getattr(r, attribute)]
    assert list(map(int, columns["seq"])) == [r.seq for r in records]


def scanned(store: Path) -> pa.Table:
    return pa.table(tarnwick.scan(str(store)))


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
def test_columnar_formats_hold_the_scan(store: Path, tmp_path: Path, fmt: str) -> None:
    target = tmp_path / f"out.{fmt}"
    result = run("dump", str(store), "--format", fmt, "-o", str(target), "--state", "live", "--file-type", "ldb")
    assert result.returncode == 0 and result.stderr.startswith(b"tarnwick: wrote ") and result.stderr.count(b"\n") == 1
    table = pq.read_table(target) if fmt == "parquet" else pa.ipc.open_file(str(target)).read_all()
    want = pa.table(tarnwick.scan(str(store), states=["Live"], file_types=["Ldb"]))
    assert table.num_rows == want.num_rows > 1000
    assert table.column_names == want.column_names
    for name in want.column_names:
        got, expected = table.column(name), want.column(name)
        if pa.types.is_dictionary(got.type):
            got = got.cast(got.type.value_type)
        if pa.types.is_dictionary(expected.type):
            expected = expected.cast(expected.type.value_type)
        if pa.types.is_string(expected.type):  # paths hold the folder's byte that is not UTF-8
            got, expected = got.cast(pa.binary()), expected.cast(pa.binary())
        assert got.to_pylist() == expected.to_pylist(), name


def test_columnar_formats_without_pyarrow(store: Path, tmp_path: Path) -> None:
    script = "import sys; sys.modules['pyarrow'] = None; from tarnwick.cli import main; sys.exit(main(sys.argv[1:]))"
    target = tmp_path / "out.parquet"
    result = subprocess.run(
        [sys.executable, "-c", script, "dump", str(store), "--format", "parquet", "-o", str(target)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "tarnwick[arrow]" in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_binary_formats_are_not_written_to_a_terminal(store: Path) -> None:
    main, secondary = pty.openpty()
    try:
        result = run("dump", str(store), "--format", "arrow", stdout=secondary, stderr=subprocess.PIPE)
    finally:
        os.close(secondary)
        os.close(main)
    assert result.returncode == 2 and b"--output" in result.stderr


def test_columnar_to_a_pipe(store: Path) -> None:
    result = run("dump", str(store), "--format", "arrow")
    assert result.returncode == 0
    assert pa.ipc.open_file(pa.BufferReader(result.stdout)).read_all().num_rows == scanned(store).num_rows
