"""Record: its nine read-only attributes, the user_key rule, the repr, and
plain-object identity semantics. Records come from hand-made files so that
every field value is chosen."""

import operator

import pytest

import craft
from _tarnwick import FileType, KeyState, RawLevelDb, Record
from craft import fixed64, internal_key

U64 = 2**64

# (stored key, value, seq, state, user_key) of a table file's entries.
TABLE_CASES = [
    (b"", b"", 0, KeyState.Unknown, b""),
    (b"abcde", b"five", 0, KeyState.Unknown, b"abcde"),
    (b"1234567", b"seven", 0, KeyState.Unknown, b"1234567"),
    (fixed64(5 << 8 | 1), b"eight", 5, KeyState.Unknown, b""),
    (internal_key(b"n", 9, 0), b"", 9, KeyState.Deleted, b"n"),
    (internal_key(b"n", 10, 1), b"v", 10, KeyState.Live, b"n"),
    (internal_key(b"n", 11, 0x7F), b"v", 11, KeyState.Live, b"n"),
    (internal_key(b"n", 12, 0xFF), b"v", 12, KeyState.Live, b"n"),
    (internal_key(b"user key", 2**56 - 1), b"top", 2**56 - 1, KeyState.Live, b"user key"),
    (internal_key(b"k" * 300, 3), b"x" * 1000, 3, KeyState.Live, b"k" * 300),
]

# (tag, key, value, state) of a log batch's entries; value None for deletions.
LOG_ENTRIES = [
    (1, b"", b"empty key", KeyState.Live),
    (1, b"abc", b"", KeyState.Live),
    (0, b"12345678", None, KeyState.Deleted),  # 8 bytes: still the whole key
    (1, b"123456789", b"nine", KeyState.Live),
    (2, b"odd tag", b"read like a value", KeyState.Unknown),
    (0x80, b"high tag", b"also", KeyState.Unknown),
]
LOG_SEQ = 2**63 + 5


@pytest.fixture
def record_db(tmp_path):
    table = craft.TableWriter()
    table.add_block([(key, value) for key, value, *_ in TABLE_CASES], restart_interval=1)
    wrapping = craft.write_batch(U64 - 2, [craft.put(b"a", b"1"), craft.put(b"b", b"2"), craft.delete(b"c")])
    return craft.write_files(
        tmp_path,
        {
            "000001.ldb": table.finish(),
            "000002.log": craft.log_file(
                [
                    craft.write_batch(LOG_SEQ, [craft.batch_entry(t, k, v) for t, k, v, _ in LOG_ENTRIES]),
                    wrapping,
                ]
            ),
        },
    )


@pytest.fixture
def records(record_db):
    with RawLevelDb(str(record_db)) as db:
        return db.iterate_records_raw()


def table_records(records):
    return [r for r in records if r.file_type == FileType.Ldb]


def log_records(records):
    return [r for r in records if r.file_type == FileType.Log]


def test_attribute_types(records):
    assert len(records) == len(TABLE_CASES) + len(LOG_ENTRIES) + 3
    for record in records:
        assert type(record) is Record
        assert type(record.key) is bytes
        assert type(record.value) is bytes
        assert type(record.user_key) is bytes
        assert type(record.seq) is int
        assert type(record.offset) is int
        assert type(record.origin_file) is str
        assert type(record.state) is KeyState
        assert type(record.file_type) is FileType
        assert record.was_compressed is False


@pytest.mark.parametrize("index", range(len(TABLE_CASES)))
def test_table_record_fields(records, record_db, index):
    key, value, seq, state, user_key = TABLE_CASES[index]
    record = table_records(records)[index]
    assert record.key == key
    assert record.value == value
    assert record.seq == seq
    assert record.state == state
    assert record.user_key == user_key
    assert record.file_type == FileType.Ldb
    assert int(record.file_type) == 1
    assert record.origin_file == str(record_db) + "/000001.ldb"


@pytest.mark.parametrize("index", range(len(LOG_ENTRIES)))
def test_log_record_fields(records, record_db, index):
    tag, key, value, state = LOG_ENTRIES[index]
    record = log_records(records)[index]
    assert record.key == key
    assert record.user_key == key  # a log key has no trailer, whatever its length
    assert record.value == (value if value is not None else b"")
    assert record.seq == LOG_SEQ + index
    assert record.state == state
    assert record.file_type == FileType.Log
    assert record.file_type == 2
    assert int(record.file_type) == 2
    assert record.origin_file == str(record_db) + "/000002.log"


def test_log_seq_near_two_to_the_64(records):
    wrapped = log_records(records)[len(LOG_ENTRIES) :]
    assert [(r.key, r.seq) for r in wrapped] == [(b"a", U64 - 2), (b"b", U64 - 1), (b"c", 0)]


@pytest.mark.parametrize(
    ("position", "text"),
    [
        (0, "Record(key=<0 bytes>, value=<0 bytes>, seq=0, state=Unknown, file_type=Ldb)"),
        (3, "Record(key=<8 bytes>, value=<5 bytes>, seq=5, state=Unknown, file_type=Ldb)"),
        (4, "Record(key=<9 bytes>, value=<0 bytes>, seq=9, state=Deleted, file_type=Ldb)"),
        (8, f"Record(key=<16 bytes>, value=<3 bytes>, seq={2**56 - 1}, state=Live, file_type=Ldb)"),
        (9, "Record(key=<308 bytes>, value=<1000 bytes>, seq=3, state=Live, file_type=Ldb)"),
        (10, f"Record(key=<0 bytes>, value=<9 bytes>, seq={LOG_SEQ}, state=Live, file_type=Log)"),
        (12, f"Record(key=<8 bytes>, value=<0 bytes>, seq={LOG_SEQ + 2}, state=Deleted, file_type=Log)"),
        (14, f"Record(key=<7 bytes>, value=<17 bytes>, seq={LOG_SEQ + 4}, state=Unknown, file_type=Log)"),
        (17, f"Record(key=<1 bytes>, value=<1 bytes>, seq={U64 - 1}, state=Live, file_type=Log)"),
    ],
)
def test_repr_and_str(records, position, text):
    assert repr(records[position]) == text
    assert str(records[position]) == text


def test_every_read_builds_a_new_object(records):
    # (CPython shares empty and one-byte bytes objects, so pick longer ones.)
    record = next(r for r in records if r.state == KeyState.Live and len(r.key) > 1 and len(r.value) > 1)
    assert record.key == record.key and record.key is not record.key
    assert record.value is not record.value
    for attribute, member in (("state", KeyState.Live), ("file_type", FileType.Ldb)):
        first, second = getattr(record, attribute), getattr(record, attribute)
        assert first == member and second == member
        assert first is not member and first is not second


def test_records_are_plain_objects(record_db):
    db = RawLevelDb(str(record_db))
    first, again = db.iterate_records_raw()[0], db.iterate_records_raw()[0]
    assert repr(first) == repr(again) and first.key == again.key
    # Identical fields, yet different objects: equal only to themselves,
    # hashed by identity.
    assert first == first
    assert first != again
    assert len({first, again}) == 2
    assert hash(first) == object.__hash__(first)
    with pytest.raises(TypeError):
        operator.lt(first, again)


def test_offset_and_was_compressed(tmp_path):
    # One stored block at file offset 1000 and one Snappy block after it.
    entries = [(internal_key(b"first", 1), b"a"), (internal_key(b"second", 2), b"b" * 30)]
    table = craft.TableWriter()
    table.add_bytes(b"\xee" * 1000)
    stored = table.add_block(entries, restart_interval=1)
    compressed = table.add_block(entries, compression=1)
    craft.write_files(tmp_path, {"000001.ldb": table.finish()})
    records = RawLevelDb(str(tmp_path)).iterate_records_raw()
    assert stored.offset == 1000
    assert [(r.offset, r.was_compressed) for r in records] == [
        (1000, False),
        (1000 + stored.entry_offsets[1], False),
        (compressed.offset, True),
        (compressed.offset, True),
    ]
    assert stored.entry_offsets[1] == 17  # 3 one-byte varints, a 13-byte key, a 1-byte value


def test_log_offsets(tmp_path):
    entries = [craft.put(b"k1", b"v1"), craft.delete(b"k2"), craft.put(b"k3", b"")]
    batch = craft.write_batch(7, entries)
    craft.write_files(tmp_path, {"000001.log": craft.log_file([batch])})
    records = RawLevelDb(str(tmp_path)).iterate_records_raw()
    # Just past the physical record holding the batch, plus the batch header,
    # plus each entry's position among the entries.
    base = craft.LOG_HEADER_SIZE + len(batch) + craft.BATCH_HEADER_SIZE
    assert [r.offset for r in records] == [base, base + len(entries[0]), base + len(entries[0]) + len(entries[1])]
