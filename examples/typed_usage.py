"""Find keys whose newest record is a deletion but whose old values survive.

    python examples/typed_usage.py DIR

A small program that uses the ``tarnwick`` package through its type stub;
``mypy --strict`` checks it. For every user key it looks for the record with
the highest sequence number; where that is a deletion, it prints the key and
the last value that an older record still holds, with where that record is.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass

from tarnwick import FileType, KeyState, RawLevelDb, Record


@dataclass
class History:
    newest: Record
    last_value: Record | None = None


def where(record: Record) -> str:
    kind = "table" if record.file_type == FileType.Ldb else "log"
    compressed = ", compressed block" if record.was_compressed else ""
    return f"{record.origin_file} ({kind}{compressed}) at byte {record.offset}"


def deleted_but_recoverable(directory: str) -> list[History]:
    histories: dict[bytes, History] = {}
    with RawLevelDb(directory) as db:
        records: list[Record] = db.iterate_records_raw(reverse=False)
    for record in records:
        if record.state == KeyState.Unknown:
            continue
        user_key = record.user_key
        history = histories.get(user_key)
        if history is None:
            history = histories[user_key] = History(newest=record)
        elif record.seq > history.newest.seq:
            history.newest = record
        if record.state == KeyState.Live and (
            history.last_value is None or record.seq > history.last_value.seq
        ):
            history.last_value = record
    return [
        h for h in histories.values() if h.newest.state == KeyState.Deleted and h.last_value is not None
    ]


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: typed_usage.py DIR", file=sys.stderr)
        return 2
    try:
        found = deleted_but_recoverable(argv[1])
    except ValueError as error:  # not a directory, or it cannot be listed
        print(f"typed_usage.py: {error}", file=sys.stderr)
        return 2
    for history in found:
        value = history.last_value
        assert value is not None
        print(f"{history.newest.user_key!r} deleted at seq {history.newest.seq}; "
              f"value {value.value[:32]!r} (seq {value.seq}) still in {where(value)}")
    print(f"{len(found)} deleted keys with a recoverable value", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
