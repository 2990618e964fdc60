"""The V8/Blink value deserialiser, IDB keys, Snappy and the storage-key and string
formats, on hand-made bytes: only what the browser in the fixture cannot write (older
format versions, other shapes, damage). Everything current is covered by
test_chromium_fixture.py on real browser output."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnwick.chromium._binary import Cursor, DecodeError
from tarnwick.chromium.idb_key import decode_key_path, decode_prefix, decode_whole_key
from tarnwick.chromium.localstorage import decode_script_string
from tarnwick.chromium.snappy import decompress_py
from tarnwick.chromium.storage_key import parse_storage_key
from tarnwick.chromium.v8value import decode_ssv, decode_v8


def v8(version: int, body: str) -> bytes:
    return bytes([0xFF, version]) + bytes.fromhex(body.replace(" ", ""))


def value(version: int, body: str) -> object:
    return decode_v8(v8(version, body))[0]


@pytest.mark.parametrize(
    ("version", "body", "expected"),
    [
        # Before V8 11, undefined inside a dense array meant a hole.
        (10, "41 02 5F 49 02 24 00 02", [{"$hole": True}, 1]),
        (11, "41 02 5F 49 02 24 00 02", [{"$undefined": True}, 1]),
        # Before V8 12, RegExp and String-object payloads were bare UTF-8.
        (11, "52 02 61 62 03", {"$regexp": "ab", "flags": "gi"}),
        (11, "73 03 C3 A9 21", {"$string_object": "é!"}),
        (12, "52 22 02 61 62 83 01", {"$regexp": "ab", "flags": "gid"}),
        # Before V8 14 a view has no flags varint.
        (13, "42 03 01 02 03 56 42 01 02", {"$typedarray": "Uint8Array", "hex": "0203"}),
        (14, "42 03 01 02 03 56 42 01 02 00", {"$typedarray": "Uint8Array", "hex": "0203"}),
        # The legacy UTF-8 string tag, padding before a tag, the verify-count tag.
        (15, "53 03 C3 A9 21", "é!"),
        (15, "00 00 3F 05 54", True),
        # Uint32, BigInt object, resizable buffer, primitive wrappers.
        (15, "55 FF FF FF FF 0F", 4294967295),
        (15, "7A 10 05 00 00 00 00 00 00 00", {"$bigint_object": "5"}),
        (15, "7E 02 08 AA BB", {"$arraybuffer": "aabb"}),
        (15, "79", {"$boolean_object": True}),
        # Error with a cause, and an unnamed Error.
        (15, "72 52 6D 22 01 78 63 49 02 2E", {"$error": "RangeError", "message": "x", "cause": 1}),
        (15, "72 2E", {"$error": "Error"}),
        # An integer-like key written as a double, and a two-byte key.
        (15, "6F 4E 00 00 00 00 00 00 10 40 54 63 02 A9 03 46 7B 02", {"4": True, "Ω": False}),
        # Sparse arrays: their length and the elements they hold, never their holes.
        (15, "61 03 49 04 22 01 78 40 01 03", {"$sparse_array": 3, "items": {"2": "x"}}),
        (15, "61 FF FF FF FF 0F 40 00 FF FF FF FF 0F", {"$sparse_array": 4294967295, "items": {}}),
        # A back-reference to an array buffer seen through a view.
        (15, "41 02 42 02 01 02 56 42 00 01 00 5E 01 24 00 02",
         [{"$typedarray": "Uint8Array", "hex": "01"}, {"$ref": "/0"}]),
        # Map keys that are objects, and references into a Set.
        (15, "27 6F 7B 00 5E 01 2C 02", {"$set": [{}, {"$ref": "/$set/0"}]}),
        # Blink host objects before V8 13 have no host tag: a DOMPoint here.
        (12, "51" + "00" * 24 + "000000000000F03F", {"$host": "DOMPoint", "values": [0, 0, 0, 1]}),
        (15, "5C 62 03 75 75 69 0A 74 65 78 74 2F 70 6C 61 69 6E 05",
         {"$blob": {"uuid": "uui", "type": "text/plain", "size": 5}}),
    ],
)
def test_older_versions_and_other_shapes(version: int, body: str, expected: object) -> None:
    assert value(version, body) == expected


@pytest.mark.parametrize(
    ("ssv", "expected", "versions"),
    [
        # Blink before 16 shares one header with V8.
        ("FF 0D 22 02 68 69", "hi", {"blink": 13, "v8": 13}),
        # Blink 17 (0x11): its own header, then V8's; FF 11 FF can never be a wrapper.
        ("FF 11 FF 0F 54", True, {"blink": 17, "v8": 15}),
        # Blink 21 with a trailer after the value (the record holds a Blob).
        ("FF 15 FE 00 00 00 00 00 00 00 1A 00 00 00 06 FF 0F 6F 22 01 66 5C 69 00 7B 01"
         " A0 00 00 00 01 69", {"f": {"$blob": {"index": 0, "missing": True}}}, {"blink": 21, "v8": 15}),
    ],
)
def test_blink_envelopes(ssv: str, expected: object, versions: dict) -> None:
    assert decode_ssv(bytes.fromhex(ssv.replace(" ", ""))) == (expected, versions)


def test_indexed_blobs_and_files_are_resolved_by_the_caller() -> None:
    seen = []

    def resolve(kind: str, index: int) -> object:
        seen.append((kind, index))
        return {"index": index}

    got = decode_v8(v8(15, "41 03 5C 69 00 5C 65 01 5C 4C 02 00 01 24 00 03"), resolve)[0]
    assert got == [{"$blob": {"index": 0}}, {"$file": {"index": 1}},
                   {"$filelist": [{"index": 0}, {"index": 1}]}]
    assert seen == [("blob", 0), ("file", 1), ("file", 0), ("file", 1)]


@pytest.mark.parametrize(
    ("data", "why"),
    [
        (v8(15, ""), "end of data"),
        (v8(15, "22 05 61"), "bytes wanted"),
        (v8(15, "63 03 41 00 42"), "odd length"),
        (v8(15, "5E 00"), "reference to object 0"),
        (v8(15, "41 FF FF FF FF 0F"), "dense array"),
        (v8(15, "42 02 01 02 56 42 01 05 00"), "past a 2-byte buffer"),
        (v8(15, "42 00 56 7A 00 00 00"), "unknown view type"),
        (v8(15, "6F 6F 7B 00 54 7B 01"), "property key"),
        (v8(15, "72 4D"), "error sub-tag"),
        (v8(15, "5C 7C"), "host object tag"),
        (v8(15, "97"), "unknown or unsupported tag"),
        (v8(15, "41 01 00 00" * 10_001 + "49 02"), "nested deeper"),  # padded: within budget
        (v8(15, "49 FF FF FF FF FF FF FF FF FF FF 01"), "varint longer"),
        (bytes.fromhex("0102"), "version tag"),
    ],
)
def test_damaged_values_are_refused_with_a_reason(data: bytes, why: str) -> None:
    with pytest.raises(DecodeError, match=why):
        decode_v8(data)


@settings(max_examples=400, deadline=None)
@given(st.binary(max_size=64), st.integers(9, 16))
def test_arbitrary_bytes_either_decode_or_are_refused(body: bytes, version: int) -> None:
    try:
        decode_v8(bytes([0xFF, version]) + body)
    except DecodeError:
        pass


# --- IndexedDB keys -----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("prefix", "ids"),
    [("00000000", (0, 0, 0)), ("00010101", (1, 1, 1)), ("0001011E", (1, 1, 30)),
     ("202C010101", (300, 1, 1)), ("0101012C01", (1, 1, 300)),
     ("FF" + "FF" * 8 + "FF" * 8 + "FF" * 4, (2**64 - 1, 2**64 - 1, 2**32 - 1))],
)
def test_key_prefixes(prefix: str, ids: tuple) -> None:
    cur = Cursor(bytes.fromhex(prefix))
    assert decode_prefix(cur) == ids and cur.at_end()


@pytest.mark.parametrize(
    ("key", "expected"),
    [
        ("0000", {"$key": "none"}),  # the maximum sentinel of range scans
        ("05", {"$key": "min"}),
        ("0400", []),
        ("02000000000000F87F", {"$date": None}),  # a NaN date, never valid
        ("040104010401040100", [[[[{"$key": "none"}]]]]),
    ],
)
def test_keys_the_browser_does_not_store(key: str, expected: object) -> None:
    data = bytes.fromhex(key)
    if key == "0000":
        with pytest.raises(DecodeError, match="after the key"):
            decode_whole_key(data)
        return
    assert decode_whole_key(data) == expected


def test_array_keys_nest_to_chromiums_limit_without_recursion() -> None:
    deep = bytes.fromhex("0401") * 2000 + bytes.fromhex("0100")
    got = decode_whole_key(deep)
    for _ in range(2000):
        (got,) = got
    assert got == ""
    with pytest.raises(DecodeError, match="deeper"):
        decode_whole_key(bytes.fromhex("0401") * 2001 + bytes.fromhex("0100"))


@pytest.mark.parametrize("key", ["01", "0105006100", "04FFFFFFFF0F", "07", "03000000", "06FF01"])
def test_damaged_keys_are_refused(key: str) -> None:
    with pytest.raises(DecodeError):
        decode_whole_key(bytes.fromhex(key))


@pytest.mark.parametrize(
    ("path", "expected"),
    [("000000", None), ("0000010200690064", "id"),
     ("00000202010061010062", ["a", "b"]),
     ("00690064", "id"),  # legacy: the whole value is the UTF-16BE path
     ("", "")],
)
def test_key_paths(path: str, expected: object) -> None:
    assert decode_key_path(bytes.fromhex(path)) == expected


# --- Snappy, storage keys, Local Storage strings ----------------------------------------


@pytest.mark.parametrize(
    ("block", "expected"),
    [
        ("00", b""),
        ("05 10 68 65 6C 6C 6F", b"hello"),
        # "ab" then a 2-byte-offset copy of 8 bytes overlapping itself.
        ("0A 04 61 62 1E 02 00", b"ababababab"),
        # A 1-byte-offset copy (length 4 + 1) of the 3 bytes before.
        ("08 08 78 79 7A 05 03", b"xyzxyzxy"),
        # A 4-byte-offset copy.
        ("06 08 61 62 63 0B 03 00 00 00", b"abcabc"),
        # A literal whose length follows in one byte (60 + 1 byte: 70 - 1).
        ("46 F0 45" + "61" * 70, b"a" * 70),
    ],
)
def test_snappy(block: str, expected: bytes) -> None:
    assert decompress_py(bytes.fromhex(block.replace(" ", ""))) == expected


@pytest.mark.parametrize(
    ("block", "why"),
    # In the native reader's words (the Snappy library's): both decoders say the same.
    [("FFFFFFFF0F 00 61", "uncompressed length 4294967295 is more than 7 compressed bytes can hold"),
     ("FFFFFFFF10 00", "invalid uncompressed length header"), ("80", "invalid uncompressed length header"),
     ("05 0A 61", "corrupt input"), ("05 00 61 06 05 00", "corrupt input"),
     ("02 00 61", "corrupt input"), ("01 04 61 62", "corrupt input")],
)
def test_damaged_snappy_is_refused(block: str, why: str) -> None:
    with pytest.raises(DecodeError, match=f"^Decompression error: {why}$"):
        decompress_py(bytes.fromhex(block.replace(" ", "")))


@pytest.mark.parametrize(
    ("text", "origin", "attributes"),
    [
        ("https://a.example", "https://a.example", {}),
        ("https://a.example/", "https://a.example", {}),
        ("https://a.example/^0https://top.example", "https://a.example",
         {"top_level_site": "https://top.example"}),
        # The older cross-site shape, with the ancestor bit after the site.
        ("https://a.example/^0https://top.example^31", "https://a.example",
         {"top_level_site": "https://top.example", "ancestor_chain_bit": "1"}),
        ("https://a.example/^112345^267890", "https://a.example",
         {"nonce_high": "12345", "nonce_low": "67890"}),
        ("https://a.example/^41^52^6https://p.example", "https://a.example",
         {"top_level_site_nonce_high": "1", "top_level_site_nonce_low": "2",
          "top_level_site_precursor": "https://p.example"}),
    ],
)
def test_storage_keys(text: str, origin: str, attributes: dict) -> None:
    sk = parse_storage_key(text)
    assert (sk.origin, sk.attributes) == (origin, attributes)


@pytest.mark.parametrize(
    ("data", "expected"),
    [(b"", ""), (b"\x01", ""), (b"\x01caf\xe9", "café"), (b"\x00\xa9\x03m\x00", "Ωm"),
     # Chrome 61 and 62 wrote Latin-1 keys as UTF-16: both forms read as the same text.
     (b"\x00k\x00e\x00y\x00", "key"), (b"\x00\x00\xd8", "\ud800")],
)
def test_local_storage_strings(data: bytes, expected: str) -> None:
    assert decode_script_string(data) == expected


@pytest.mark.parametrize("data", [b"\x02abc", b"\x00abc"])
def test_local_storage_strings_damaged(data: bytes) -> None:
    with pytest.raises(DecodeError):
        decode_script_string(data)


# --- budgets, depth and exact integers on crafted bytes ------------------------------------

def _views(count: int, size: int) -> str:
    """A dense array of ``count`` Uint8Array views over one ``size``-byte buffer."""
    first = f"42 {_varint(size)} {'07 ' * size} 56 42 00 {_varint(size)} 00"
    again = f"5E 01 56 42 00 {_varint(size)} 00"
    return f"41 {_varint(count)} {first} {again * (count - 1)} 24 00 {_varint(count)}"


def _varint(n: int) -> str:
    out = []
    while True:
        b, n = n & 0x7F, n >> 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out).hex()


@pytest.mark.parametrize(
    ("body", "within_budget"),
    [
        # 1,000 sparse arrays of 2^32-1 claimed elements: their length only.
        ("41 " + _varint(1000) + " " + "61 FF FF FF FF 0F 40 00 FF FF FF FF 0F " * 1000 + "24 00 " + _varint(1000), True),
        # 2,000 views over one 4 KiB buffer: the buffer's bytes once, then references.
        (_views(2000, 4096), True),
        # 5,000 holes of a dense array, each written out, paid for by its byte.
        ("41 " + _varint(5000) + " " + "2D " * 5000 + "24 00 " + _varint(5000), True),
        # A string of 64 Ki control characters, each a six-character JSON escape.
        ("22 " + _varint(65536) + " " + "01 " * 65536, True),
        # References to an object 3,000 levels down, each a 6,000-character pointer.
        ("41 " + _varint(101) + " " + "41 01 " * 3000 + "6F 7B 00" + " 24 00 01" * 3000
         + " 5E " + _varint(3001) + " " * 0 + ("5E " + _varint(3001) + " ") * 99 + "24 00 " + _varint(101),
         False),
    ],
    ids=["sparse-bomb", "view-bomb", "holes", "escapes", "reference-bomb"],
)
def test_expansion_is_bounded_by_the_budget(body: str, within_budget: bool) -> None:
    from tarnwick.chromium import _json
    from tarnwick.chromium._budget import OverBudget, budget_for

    data = v8(15, body)
    if not within_budget:
        with pytest.raises(OverBudget, match="over budget"):
            decode_v8(data)
        return
    out = _json.dumps(decode_v8(data)[0])
    assert len(out) <= 6 * budget_for(len(data))


@pytest.mark.parametrize("depth", [1, 3_600, 9_999])
def test_values_nest_as_deep_as_v8_writes_them(depth: int) -> None:
    from tarnwick.chromium import _json

    got = decode_v8(v8(15, "41 01" * depth + "49 02" + " 24 00 01" * depth))[0]
    assert _json.dumps(got) == "[" * depth + "1" + "]" * depth


@pytest.mark.parametrize(
    ("magnitude", "negative", "expected_start"),
    [(10**5000 + 7, False, "1" + "0" * 10), (10**5000 + 7, True, "-1" + "0" * 10),
     (1 << 40_000, False, "0x1" + "0" * 10), (1 << 40_000, True, "-0x1" + "0" * 10)],
    ids=["5001-digits", "minus-5001-digits", "2^40000", "minus-2^40000"],
)
def test_bigints_of_any_size_are_exact(magnitude: int, negative: bool, expected_start: str) -> None:
    raw = magnitude.to_bytes((magnitude.bit_length() + 63) // 64 * 8, "little")
    bitfield = (len(raw) << 1) | negative
    text = decode_v8(v8(15, "5A " + _varint(bitfield) + " " + raw.hex()))[0]["$bigint"]
    assert text.startswith(expected_start)
    base = 16 if "x" in text else 10
    import decimal

    value = int(text, 16) if base == 16 else int(decimal.Decimal(text))
    assert value == (-magnitude if negative else magnitude)


def test_the_fuzz_check_holds_on_every_seed() -> None:
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parents[2] / "fuzz" / "chromium_decoders.py"
    spec = importlib.util.spec_from_file_location("chromium_decoders", path)
    assert spec and spec.loader
    fuzz = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fuzz)
    for target in fuzz.TARGETS:
        inputs = fuzz.seeds(target)
        assert inputs, target
        for data in inputs:
            fuzz.check(target, data)
            fuzz.check(target, data[: len(data) // 2])  # and cut short
