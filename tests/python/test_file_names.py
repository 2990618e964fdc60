"""The engine's own data-file names, seven digits and more included.

The engine names a data file after its number padded with zeros to six digits,
so from file number 1,000,000 on its names have seven. A long-lived store gets
there; its files must be read like any other, in file-number order.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Callable
from pathlib import Path

import pytest
from _tarnwick import RawLevelDb
from engine_db import EngineDb, RecordView, data_files, expected_records, record_fields


@pytest.fixture(scope="module")
def engine_dir(tmp_path_factory) -> Path:
    """Three table files flushed by the engine and a log it left open."""
    path = tmp_path_factory.mktemp("names") / "db"
    db = EngineDb(path, block_size=1024)
    for session in range(3):
        for i in range(150):
            db.put(b"key:%03d" % i, b"session %d value %d " % (session, i) * (i % 7))
        for i in range(0, 150, 11):
            db.delete(b"key:%03d" % i)
        db.flush()
    db.put(b"key:000", b"left in the log")
    db.close()
    kinds = [kind for _, kind, _ in data_files(path)]
    assert kinds.count("table") >= 3 and "log" in kinds
    return path


# How each data file is renamed, from its number and its rank among the files.
Renaming = Callable[[int, int], int]

RENAMINGS: dict[str, Renaming] = {
    # Every file past the six-digit range, as the engine names them there.
    "seven_digits": lambda number, rank: number + 1_000_000,
    # The first two files below 1,000,000 and the rest above it: six-digit and
    # seven-digit names side by side still come in number order.
    "across_the_boundary": lambda number, rank: 999_998 + rank,
    # The longest stem read: sixteen digits.
    "sixteen_digits": lambda number, rank: 10**15 + number,
}


@pytest.mark.parametrize("reverse", [False, True], ids=["forward", "reverse"])
@pytest.mark.parametrize("renaming", RENAMINGS.values(), ids=RENAMINGS.keys())
def test_renamed_engine_files_give_the_same_records_in_number_order(engine_dir, tmp_path, renaming, reverse):
    original_of: dict[str, str] = {}
    for rank, (number, _, name) in enumerate(data_files(engine_dir)):
        new_name = f"{renaming(number, rank):06d}.{name.rpartition('.')[2]}"
        shutil.copyfile(engine_dir / name, tmp_path / new_name)
        original_of[str(tmp_path / new_name)] = str(engine_dir / name)
    assert any(len(os.path.splitext(name)[0]) > 6 for name in os.listdir(tmp_path))

    with RawLevelDb(str(tmp_path)) as db:
        records = db.iterate_records_raw(reverse=reverse)
    seen = [RecordView(*record_fields(record, original_of.__getitem__)) for record in records]
    assert seen == expected_records(str(engine_dir), reverse=reverse)


def test_a_stem_of_seventeen_digits_is_no_data_file(engine_dir, tmp_path):
    files = data_files(engine_dir)
    for number, _, name in files:
        shutil.copyfile(engine_dir / name, tmp_path / name)
    _, _, first = files[0]
    os.rename(tmp_path / first, tmp_path / f"1{'0' * 10}{first}")  # 17 digits
    with RawLevelDb(str(tmp_path)) as db:
        origins = {os.path.basename(record.origin_file) for record in db.iterate_records_raw()}
    assert origins == {name for _, _, name in files[1:]}
