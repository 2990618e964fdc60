"""Blink's SerializedScriptValue envelope and V8's ValueSerializer format, decoded to
tagged JSON (see ``_tagged``).

An IndexedDB record value, once unwrapped, is Blink's envelope (a version, and from
version 21 on the offset and size of a trailer) around the data of V8's
ValueSerializer: a version header, then one value written as a tag byte and its
payload, objects and arrays recursively. Every object-like value gets the next object
id when its tag is read, so a later ``^ id`` can point back at it; such back-references
(shared objects and cycles) are reported as ``{"$ref": JSON Pointer}`` to where the
object first appears.

Blink's own objects (Blob, File, geometry, ...) appear as host objects after the ``\\``
tag. In IndexedDB, Blobs and Files are written as indexes into the record's list of
external objects; the caller resolves them through ``resolve_external``.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ._binary import Cursor, DecodeError
from ._budget import CONTAINER_COST, VALUE_COST, Budget
from ._tagged import HOLE, UNDEFINED, bigint_text, escape_key, js_iso, number

# --- the Blink envelope -------------------------------------------------------------
VERSION_TAG = 0xFF
# Blink 21 added the trailer offset and size after this tag.
TRAILER_OFFSET_TAG = 0xFE
BLINK_TRAILER_VERSION = 21
# From Blink 16 on, Blink's version header and V8's are separate.
BLINK_SEPARATE_ENVELOPE_VERSION = 16

# --- V8 ValueSerializer tags ----------------------------------------------------------
T_PADDING = 0x00
T_VERIFY_COUNT = ord("?")
T_HOLE = ord("-")
T_UNDEFINED = ord("_")
T_NULL = ord("0")
T_TRUE = ord("T")
T_FALSE = ord("F")
T_INT32 = ord("I")
T_UINT32 = ord("U")
T_DOUBLE = ord("N")
T_BIGINT = ord("Z")
T_ONE_BYTE_STRING = ord('"')
T_TWO_BYTE_STRING = ord("c")
T_UTF8_STRING = ord("S")
T_REFERENCE = ord("^")
T_BEGIN_OBJECT = ord("o")
T_END_OBJECT = ord("{")
T_BEGIN_DENSE_ARRAY = ord("A")
T_END_DENSE_ARRAY = ord("$")
T_BEGIN_SPARSE_ARRAY = ord("a")
T_END_SPARSE_ARRAY = ord("@")
T_DATE = ord("D")
T_TRUE_OBJECT = ord("y")
T_FALSE_OBJECT = ord("x")
T_NUMBER_OBJECT = ord("n")
T_BIGINT_OBJECT = ord("z")
T_STRING_OBJECT = ord("s")
T_REGEXP = ord("R")
T_BEGIN_MAP = ord(";")
T_END_MAP = ord(":")
T_BEGIN_SET = ord("'")
T_END_SET = ord(",")
T_ARRAY_BUFFER = ord("B")
T_RESIZABLE_ARRAY_BUFFER = ord("~")
T_ARRAY_BUFFER_VIEW = ord("V")
T_ERROR = ord("r")
T_HOST_OBJECT = ord("\\")

# Versions whose data differs: before 11 an undefined in a dense array is a hole;
# before 12 RegExp and String-object payloads are raw UTF-8; before 13 there is no host
# tag (unknown tags go to Blink); from 14 on views carry a flags varint.
V8_UNDEFINED_IS_HOLE_BELOW = 11
V8_RAW_UTF8_BELOW = 12
V8_HOST_TAG_FROM = 13
V8_VIEW_FLAGS_FROM = 14

VIEW_TYPES = {
    ord("b"): "Int8Array", ord("B"): "Uint8Array", ord("C"): "Uint8ClampedArray",
    ord("w"): "Int16Array", ord("W"): "Uint16Array", ord("d"): "Int32Array",
    ord("D"): "Uint32Array", ord("h"): "Float16Array", ord("f"): "Float32Array",
    ord("F"): "Float64Array", ord("q"): "BigInt64Array", ord("Q"): "BigUint64Array",
    ord("?"): "DataView",
}
ERROR_PROTOTYPES = {ord("E"): "EvalError", ord("R"): "RangeError", ord("F"): "ReferenceError",
                    ord("S"): "SyntaxError", ord("T"): "TypeError", ord("U"): "URIError"}
E_MESSAGE, E_CAUSE, E_STACK, E_END = ord("m"), ord("c"), ord("s"), ord(".")
REGEXP_FLAGS = "gimyusldv"  # bit i of the flags means REGEXP_FLAGS[i]

# --- Blink host-object tags (after "\\") ------------------------------------------------
H_BLOB_INDEX, H_FILE_INDEX, H_FILE_LIST_INDEX = ord("i"), ord("e"), ord("L")
H_BLOB = ord("b")
H_DOM_EXCEPTION = ord("x")
# Geometry objects: a name and how many doubles follow (points x y z w, rects x y width
# height, quads four points, matrices m11..m44 or, for 2-D ones, a b c d e f).
H_GEOMETRY = {ord("Q"): ("DOMPoint", 4), ord("W"): ("DOMPointReadOnly", 4),
              ord("E"): ("DOMRect", 4), ord("R"): ("DOMRectReadOnly", 4),
              ord("T"): ("DOMQuad", 16)}
H_MATRIX = {ord("Y"): ("DOMMatrix", 16), ord("U"): ("DOMMatrixReadOnly", 16),
            ord("I"): ("DOMMatrix", 6), ord("O"): ("DOMMatrixReadOnly", 6)}
MATRIX_2D_VALUES = 6
H_CRYPTO_KEY = ord("K")
# CryptoKey: a sub-tag byte saying which parameters follow, then the usages bitmask
# (bit 0: extractable) and the key data.
CRYPTO_AES, CRYPTO_HMAC, CRYPTO_RSA_HASHED, CRYPTO_EC, CRYPTO_NO_PARAMS = 1, 2, 4, 5, 6
CRYPTO_KEY_KINDS = {CRYPTO_AES: "aes", CRYPTO_HMAC: "hmac", CRYPTO_RSA_HASHED: "rsa_hashed",
                    CRYPTO_EC: "ec", CRYPTO_NO_PARAMS: "no_params"}
CRYPTO_ALGORITHMS = {1: "AES-CBC", 2: "HMAC", 3: "RSASSA-PKCS1-v1_5", 5: "SHA-1", 6: "SHA-256",
                     7: "SHA-384", 8: "SHA-512", 9: "AES-GCM", 10: "RSA-OAEP", 11: "AES-CTR",
                     12: "AES-KW", 13: "RSA-PSS", 14: "ECDSA", 15: "ECDH", 16: "HKDF", 17: "PBKDF2"}
CRYPTO_KEY_TYPES = {1: "public", 2: "private"}
CRYPTO_CURVES = {1: "P-256", 2: "P-384", 3: "P-521"}
CRYPTO_EXTRACTABLE_BIT = 1
CRYPTO_USAGES = ("encrypt", "decrypt", "sign", "verify", "deriveKey", "wrapKey", "unwrapKey",
                 "deriveBits")  # bits 1..8

# V8 itself nests values about 3,600 deep before its stack runs out; the decoder keeps
# its own stack, so it takes that and more, and refuses only crafted data beyond this.
MAX_DEPTH = 10_000
# What a hole of a dense array costs: it is written out as {"$hole": true}.
HOLE_COST = 16

ExternalResolver = Callable[[str, int], Any]


class _Ref:
    """A back-reference, replaced by a JSON Pointer once the whole value is built."""
    __slots__ = ("object_id",)

    def __init__(self, object_id: int) -> None:
        self.object_id = object_id


def _no_external(kind: str, index: int) -> Any:
    return {"index": index, "missing": True}


# A frame asks for the next value by returning _NEED; it is resumed with _START first
# and then with each value it asked for.
_NEED = object()
_START = object()
# The states of a container frame: reading elements, a property key, its value.
_ITEMS, _KEY, _VALUE = range(3)


class _Frame:
    """A container being read: the decoder keeps these on its own stack, so nesting
    costs no Python recursion."""
    __slots__ = ("node", "phase", "key")

    def __init__(self, node: Any, phase: int = _KEY) -> None:
        self.node = node
        self.phase = phase
        self.key: Any = None

    def resume(self, d: _Deserializer, child: Any) -> Any:
        raise NotImplementedError


class _ObjectFrame(_Frame):
    __slots__ = ()

    def resume(self, d: _Deserializer, child: Any) -> Any:
        if self.phase == _KEY and child is not _START:
            self.key, self.phase = escape_key(d.property_name(child)), _VALUE
            return _NEED
        if self.phase == _VALUE:
            self.node[self.key] = child
            self.phase = _KEY
        if d.end_next(T_END_OBJECT):
            d.cur.varint()  # the property count
            return self.node
        return _NEED


class _ArrayFrame(_Frame):
    """A dense array (elements first, holes among them) or a sparse one (index and
    value pairs only), then named properties either way."""
    __slots__ = ("object_id", "length", "items", "props", "end", "sparse")

    def __init__(self, object_id: int, length: int, items: Any, sparse: bool) -> None:
        super().__init__(items, _KEY if sparse else _ITEMS)
        self.object_id, self.length, self.items, self.sparse = object_id, length, items, sparse
        self.props: dict[str, Any] = {}
        self.end = T_END_SPARSE_ARRAY if sparse else T_END_DENSE_ARRAY

    def resume(self, d: _Deserializer, child: Any) -> Any:
        if self.phase == _ITEMS:
            if child is not _START:
                self.items.append(child)
            while len(self.items) < self.length:
                tag = d.tag()
                if tag == T_HOLE or (tag == T_UNDEFINED and d.version < V8_UNDEFINED_IS_HOLE_BELOW):
                    d.budget.charge(HOLE_COST, "a hole")
                    self.items.append(HOLE)
                    continue
                d.cur.pos -= 1
                return _NEED
            self.phase = _KEY
        elif self.phase == _KEY and child is not _START:
            self.key, self.phase = child, _VALUE
            return _NEED
        elif self.phase == _VALUE:
            self._put(d, self.key, child)
            self.phase = _KEY
        if d.end_next(self.end):
            d.cur.varint()  # the property count
            d.cur.varint()  # the length
            return self._finish(d)
        return _NEED

    def _put(self, d: _Deserializer, key: Any, value: Any) -> None:
        index = _array_index(key)
        if index is None:
            self.props[escape_key(d.property_name(key))] = value
        elif self.sparse and index < self.length:
            self.items[str(index)] = value
        elif not self.sparse and index < len(self.items):
            self.items[index] = value
        else:  # an index beyond the written length: keep it as a property
            self.props[str(index)] = value

    def _finish(self, d: _Deserializer) -> Any:
        node: Any
        if self.sparse:
            node = {"$sparse_array": self.length, "items": self.items}
            if self.props:
                node["properties"] = self.props
        elif self.props:
            node = {"$array": self.items, "properties": self.props}
        else:
            return self.items
        d.objects[self.object_id] = node
        return node


class _MapFrame(_Frame):
    """A Map (key, value pairs) or a Set (values)."""
    __slots__ = ("items", "end", "pairs")

    def __init__(self, node: Any, items: list[Any], end: int, pairs: bool) -> None:
        super().__init__(node)
        self.items, self.end, self.pairs = items, end, pairs

    def resume(self, d: _Deserializer, child: Any) -> Any:
        if child is not _START:
            if not self.pairs:
                self.items.append(child)
            elif self.phase == _KEY:
                self.key, self.phase = child, _VALUE
                return _NEED
            else:
                self.items.append([self.key, child])
                self.phase = _KEY
        if d.end_next(self.end):
            d.cur.varint()  # the entry count
            return self.node
        return _NEED


class _ErrorFrame(_Frame):
    """An Error: sub-tags for its prototype, message, stack and cause, then an end."""
    __slots__ = ()

    def resume(self, d: _Deserializer, child: Any) -> Any:
        if child is not _START:
            self.node["cause"] = child
        while True:
            sub = d.cur.byte()
            if sub in ERROR_PROTOTYPES:
                self.node["$error"] = ERROR_PROTOTYPES[sub]
            elif sub == E_MESSAGE:
                self.node["message"] = d.read_string()
            elif sub == E_STACK:
                self.node["stack"] = d.read_string()
            elif sub == E_CAUSE:
                return _NEED
            elif sub == E_END:
                return self.node
            else:
                raise DecodeError(f"unknown error sub-tag 0x{sub:02x}")


class _Buffer:
    """An ArrayBuffer just read (or referred to again): a following view tag consumes it."""
    __slots__ = ("data", "node", "object_id")

    def __init__(self, data: bytes, node: Any, object_id: int) -> None:
        self.data = data
        self.node = node
        self.object_id = object_id


class _Deserializer:
    def __init__(self, cur: Cursor, version: int, resolve: ExternalResolver, budget: Budget) -> None:
        self.cur = cur
        self.version = version
        self.resolve = resolve
        self.budget = budget
        self.objects: list[Any] = []  # object id -> its output node
        self.buffers: dict[int, bytes] = {}  # object id of an ArrayBuffer -> its bytes
        # object id of an ArrayBuffer -> the first view over it (node, offset, length)
        self.first_views: dict[int, tuple[dict[str, Any], int, int]] = {}
        self.refs: dict[int, _Ref] = {}  # one per object referred to, however often
        self.has_refs = False

    # -- the value loop ---------------------------------------------------------------
    def read(self) -> Any:
        """One value, containers read with an explicit stack of frames."""
        stack: list[_Frame] = []
        value: Any = self.start()
        while True:
            if isinstance(value, _Frame):
                if len(stack) >= MAX_DEPTH:
                    raise DecodeError(f"values nested deeper than {MAX_DEPTH}")
                stack.append(value)
                out = value.resume(self, _START)
            elif not stack:
                return value
            else:
                out = stack[-1].resume(self, value)
            if out is _NEED:
                value = self.start()
            else:
                stack.pop()
                value = out

    def start(self) -> Any:
        """Reads the next tag: a finished value, or the frame of a container."""
        tag = self.tag()
        while tag == T_VERIFY_COUNT:
            self.cur.varint()
            tag = self.tag()
        budget = self.budget  # charged inline: this runs once per value
        budget.used += VALUE_COST
        if budget.used > budget.limit:
            budget.charge(0, "a value")
        result = self._value_for(tag)
        if isinstance(result, _Buffer):
            if self.cur.peek() == T_ARRAY_BUFFER_VIEW:
                self.cur.byte()
                return self._view(result)
            return result.node
        return result

    # -- tags and strings -------------------------------------------------------------
    def tag(self) -> int:
        while True:
            tag = self.cur.byte()
            if tag != T_PADDING:
                return tag

    def end_next(self, end: int) -> bool:
        """Consumes the end tag ``end`` if it comes next."""
        if self.tag() == end:
            return True
        self.cur.pos -= 1
        return False

    def _string_payload(self, tag: int) -> str:
        n = self.cur.varint()
        raw = self.cur.take(n)
        self.budget.charge(n, "a string")
        if tag == T_ONE_BYTE_STRING:
            return raw.decode("latin-1")
        if tag == T_TWO_BYTE_STRING:
            if n % 2:
                raise DecodeError(f"two-byte string of odd length {n}")
            return raw.decode("utf-16-le", "surrogatepass")
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise DecodeError("UTF-8 string: not valid UTF-8") from None

    def read_string(self) -> str:
        """A value that must be a string (RegExp source, error message, ...)."""
        if self.version < V8_RAW_UTF8_BELOW:
            return self._string_payload(T_UTF8_STRING)
        tag = self.tag()
        if tag not in (T_ONE_BYTE_STRING, T_TWO_BYTE_STRING, T_UTF8_STRING):
            raise DecodeError(f"string expected, tag 0x{tag:02x} found")
        return self._string_payload(tag)

    def property_name(self, key: Any) -> str:
        if isinstance(key, str):
            return key
        if isinstance(key, bool) or key is None:
            raise DecodeError("property key is not a string or number")
        if isinstance(key, int):
            return str(key)
        if isinstance(key, float):
            return repr(key)
        raise DecodeError("property key is not a string or number")

    def _new_id(self, node: Any) -> int:
        self.budget.charge(CONTAINER_COST, "an object")
        self.objects.append(node)
        return len(self.objects) - 1

    def _register(self, node: Any) -> Any:
        self._new_id(node)
        return node

    def _hex(self, data: bytes, what: str) -> str:
        self.budget.charge(2 * len(data), what)
        return data.hex()

    # -- one tag ----------------------------------------------------------------------
    def _value_for(self, tag: int) -> Any:  # noqa: C901 - one branch per tag reads best
        cur = self.cur
        if tag == T_NULL:
            return None
        if tag == T_UNDEFINED:
            return UNDEFINED
        if tag == T_TRUE:
            return True
        if tag == T_FALSE:
            return False
        if tag == T_INT32:
            return cur.zigzag32()
        if tag == T_UINT32:
            return cur.varint() & 0xFFFFFFFF
        if tag == T_DOUBLE:
            return number(cur.double_le())
        if tag == T_BIGINT:
            return {"$bigint": self._bigint()}
        if tag in (T_ONE_BYTE_STRING, T_TWO_BYTE_STRING, T_UTF8_STRING):
            return self._string_payload(tag)
        if tag == T_REFERENCE:
            object_id = cur.varint()
            if object_id >= len(self.objects):
                raise DecodeError(f"reference to object {object_id}, only {len(self.objects)} read")
            self.has_refs = True
            ref = self.refs.get(object_id) or self.refs.setdefault(object_id, _Ref(object_id))
            if object_id in self.buffers:
                return _Buffer(self.buffers[object_id], ref, object_id)
            return ref
        if tag == T_BEGIN_OBJECT:
            node: dict[str, Any] = {}
            self._new_id(node)
            return _ObjectFrame(node)
        if tag == T_BEGIN_DENSE_ARRAY:
            length = cur.varint()
            if length > cur.remaining():
                raise DecodeError(f"dense array of {length} elements in {cur.remaining()} bytes")
            items: list[Any] = []
            return _ArrayFrame(self._new_id(items), length, items, sparse=False)
        if tag == T_BEGIN_SPARSE_ARRAY:
            # Only the elements written are kept, whatever length the array claims.
            length = cur.varint()
            sparse: dict[str, Any] = {}
            return _ArrayFrame(self._new_id(sparse), length, sparse, sparse=True)
        if tag == T_DATE:
            return self._register({"$date": js_iso(cur.double_le())})
        if tag in (T_TRUE_OBJECT, T_FALSE_OBJECT):
            return self._register({"$boolean_object": tag == T_TRUE_OBJECT})
        if tag == T_NUMBER_OBJECT:
            return self._register({"$number_object": number(cur.double_le())})
        if tag == T_BIGINT_OBJECT:
            return self._register({"$bigint_object": self._bigint()})
        if tag == T_STRING_OBJECT:
            node = {}
            self._new_id(node)
            node["$string_object"] = self.read_string()
            return node
        if tag == T_REGEXP:
            node = {}
            self._new_id(node)
            node["$regexp"] = self.read_string()
            bits = cur.varint()
            node["flags"] = "".join(f for i, f in enumerate(REGEXP_FLAGS) if bits >> i & 1)
            return node
        if tag in (T_BEGIN_MAP, T_BEGIN_SET):
            entries: list[Any] = []
            is_map = tag == T_BEGIN_MAP
            node = {"$map": entries} if is_map else {"$set": entries}
            self._new_id(node)
            return _MapFrame(node, entries, T_END_MAP if is_map else T_END_SET, pairs=is_map)
        if tag == T_ARRAY_BUFFER:
            return self._buffer(cur.take(cur.varint()))
        if tag == T_RESIZABLE_ARRAY_BUFFER:
            n = cur.varint()
            cur.varint()  # the maximum length
            return self._buffer(cur.take(n))
        if tag == T_ERROR:
            node = {"$error": "Error"}
            self._new_id(node)
            return _ErrorFrame(node)
        if tag == T_HOST_OBJECT and self.version >= V8_HOST_TAG_FROM:
            return self._host(self.tag())
        if self.version < V8_HOST_TAG_FROM and tag not in _V8_TAGS:
            return self._host(tag)
        raise DecodeError(f"unknown or unsupported tag 0x{tag:02x} at byte {cur.pos - 1}")

    def _bigint(self) -> str:
        bitfield = self.cur.varint()
        n = (bitfield >> 1) & 0x3FFFFFFF
        data = self.cur.take(n)
        self.budget.charge(CONTAINER_COST + 3 * n, "a BigInt")  # about 2.4 digits per byte
        magnitude = int.from_bytes(data, "little")
        return bigint_text(-magnitude if bitfield & 1 else magnitude)

    # -- binary data ------------------------------------------------------------------
    def _buffer(self, data: bytes) -> _Buffer:
        node = {"$arraybuffer": self._hex(data, "an ArrayBuffer")}
        object_id = self._new_id(node)
        self.buffers[object_id] = data
        return _Buffer(data, node, object_id)

    def _view(self, buffer: _Buffer) -> Any:
        """A typed array or DataView. The first view over a buffer carries the bytes
        it shows; every further view over the same buffer refers to that first one
        (or to the buffer reported on its own) with its offset and length, so many
        views over one buffer cost their few bytes each, not a copy each."""
        sub = self.cur.byte()
        offset = self.cur.varint()
        length = self.cur.varint()
        if self.version >= V8_VIEW_FLAGS_FROM:
            self.cur.varint()  # flags: length-tracking, resizable backing
        name = VIEW_TYPES.get(sub)
        if name is None:
            raise DecodeError(f"unknown view type 0x{sub:02x}")
        if offset + length > len(buffer.data):
            raise DecodeError(f"view of {length} bytes at {offset} past a {len(buffer.data)}-byte buffer")
        node: dict[str, Any]
        first = self.first_views.get(buffer.object_id)
        if isinstance(buffer.node, _Ref) or first is not None:
            if first is not None:
                shown, first_offset, first_length = first
                if (first_offset, first_length) != (0, len(buffer.data)) and "buffer" not in shown:
                    # The first view showed only part of the buffer: the whole of it
                    # is reported there once.
                    shown["buffer"] = {"$arraybuffer": self._hex(buffer.data, "a shared buffer")}
            self.has_refs = True
            node = {"$typedarray": name, "buffer": _Ref(buffer.object_id), "offset": offset,
                    "length": length}
        else:
            node = {"$typedarray": name,
                    "hex": self._hex(buffer.data[offset:offset + length], "a view")}
            # The buffer is seen through this view: references to it point here.
            self.objects[buffer.object_id] = node
            self.first_views[buffer.object_id] = (node, offset, length)
        self._new_id(node)
        return node

    # -- Blink host objects -------------------------------------------------------------
    def _utf8(self) -> str:
        n = self.cur.varint()
        raw = self.cur.take(n)
        self.budget.charge(n, "a string")
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise DecodeError("UTF-8 string: not valid UTF-8") from None

    def _host(self, tag: int) -> Any:
        cur = self.cur
        if tag == H_BLOB_INDEX:
            return self._register({"$blob": self.resolve("blob", cur.varint())})
        if tag == H_FILE_INDEX:
            return self._register({"$file": self.resolve("file", cur.varint())})
        if tag == H_FILE_LIST_INDEX:
            count = cur.varint()
            if count > cur.remaining():
                raise DecodeError(f"file list of {count} in {cur.remaining()} bytes")
            self.budget.charge(VALUE_COST * count, "a file list")
            return self._register({"$filelist": [self.resolve("file", cur.varint()) for _ in range(count)]})
        if tag == H_BLOB:
            uuid, mime, size = self._utf8(), self._utf8(), cur.varint()
            return self._register({"$blob": {"uuid": uuid, "type": mime, "size": size}})
        if tag == H_DOM_EXCEPTION:
            name, message, stack = self._utf8(), self._utf8(), self._utf8()
            node = {"$host": "DOMException", "name": name, "message": message}
            if stack:  # written empty, kept for a stack in some later version
                node["stack"] = stack
            return self._register(node)
        if tag in H_GEOMETRY:
            name, count = H_GEOMETRY[tag]
            values = [number(cur.double_le()) for _ in range(count)]
            return self._register({"$host": name, "values": values})
        if tag in H_MATRIX:
            name, count = H_MATRIX[tag]
            values = [number(cur.double_le()) for _ in range(count)]
            return self._register({"$host": name, "is_2d": count == MATRIX_2D_VALUES, "values": values})
        if tag == H_CRYPTO_KEY:
            return self._register(self._crypto_key())
        raise DecodeError(f"unsupported Blink host object tag 0x{tag:02x}")

    def _crypto_key(self) -> dict[str, Any]:
        cur = self.cur
        sub = cur.byte()
        if sub not in CRYPTO_KEY_KINDS:
            raise DecodeError(f"unknown CryptoKey sub-tag {sub}")
        node: dict[str, Any] = {"$host": "CryptoKey", "key_kind": CRYPTO_KEY_KINDS[sub]}

        def named(table: dict[int, str], n: int) -> str | int:
            return table.get(n, n)

        if sub == CRYPTO_AES:
            node["algorithm"] = named(CRYPTO_ALGORITHMS, cur.varint())
            node["length_bits"] = cur.varint() * 8
        elif sub == CRYPTO_HMAC:
            node["length_bits"] = cur.varint() * 8
            node["hash"] = named(CRYPTO_ALGORITHMS, cur.varint())
        elif sub == CRYPTO_RSA_HASHED:
            node["algorithm"] = named(CRYPTO_ALGORITHMS, cur.varint())
            node["key_type"] = named(CRYPTO_KEY_TYPES, cur.varint())
            node["modulus_bits"] = cur.varint()
            node["public_exponent"] = self._hex(cur.take(cur.varint()), "a key")
            node["hash"] = named(CRYPTO_ALGORITHMS, cur.varint())
        elif sub == CRYPTO_EC:
            node["algorithm"] = named(CRYPTO_ALGORITHMS, cur.varint())
            node["key_type"] = named(CRYPTO_KEY_TYPES, cur.varint())
            node["named_curve"] = named(CRYPTO_CURVES, cur.varint())
        else:
            node["algorithm"] = named(CRYPTO_ALGORITHMS, cur.varint())
        usages = cur.varint()
        node["extractable"] = bool(usages & CRYPTO_EXTRACTABLE_BIT)
        node["usages"] = [u for i, u in enumerate(CRYPTO_USAGES) if usages >> (i + 1) & 1]
        node["hex"] = self._hex(cur.take(cur.varint()), "a key")
        return node


_V8_TAGS = frozenset([
    T_PADDING, T_VERIFY_COUNT, T_HOLE, T_UNDEFINED, T_NULL, T_TRUE, T_FALSE, T_INT32, T_UINT32,
    T_DOUBLE, T_BIGINT, T_ONE_BYTE_STRING, T_TWO_BYTE_STRING, T_UTF8_STRING, T_REFERENCE,
    T_BEGIN_OBJECT, T_END_OBJECT, T_BEGIN_DENSE_ARRAY, T_END_DENSE_ARRAY, T_BEGIN_SPARSE_ARRAY,
    T_END_SPARSE_ARRAY, T_DATE, T_TRUE_OBJECT, T_FALSE_OBJECT, T_NUMBER_OBJECT, T_BIGINT_OBJECT,
    T_STRING_OBJECT, T_REGEXP, T_BEGIN_MAP, T_END_MAP, T_BEGIN_SET, T_END_SET, T_ARRAY_BUFFER,
    T_RESIZABLE_ARRAY_BUFFER, T_ARRAY_BUFFER_VIEW, T_ERROR])

_MAX_ARRAY_INDEX = 2**32 - 2


def _array_index(key: Any) -> int | None:
    if isinstance(key, bool):
        return None
    if isinstance(key, int):
        return key if 0 <= key <= _MAX_ARRAY_INDEX else None
    if isinstance(key, str) and key.isdigit() and key.isascii() and (key == "0" or key[0] != "0"):
        if len(key) > len(str(_MAX_ARRAY_INDEX)):
            return None
        n = int(key)
        return n if n <= _MAX_ARRAY_INDEX else None
    return None


def _pointer_part(key: object) -> str:
    return "/" + str(key).replace("~", "~0").replace("/", "~1")


def _children(node: Any) -> Any:
    return node.items() if isinstance(node, dict) else enumerate(node)


def _resolve_refs(root: Any, objects: list[Any], budget: Budget) -> Any:
    """Replace every back-reference by a JSON Pointer to the object's first place
    (in document order, which is the order the data was written in). The tree is
    walked with an explicit stack; each place remembers its parent and key only, and
    a pointer is spelled out (and paid for) when a reference needs it."""
    where: dict[int, tuple[int, object] | None] = {id(root): None}
    spelled: dict[int, str] = {}

    def pointer(node_id: int) -> str:
        if node_id in spelled:
            return spelled[node_id]
        parts = []
        at = where[node_id]
        while at is not None:
            parent, key = at
            parts.append(_pointer_part(key))
            at = where[parent]
        text = "".join(reversed(parts))
        spelled[node_id] = text
        return text

    made: dict[int, dict[str, Any]] = {}  # one {"$ref": ...} per target, shared

    def replacement(ref: _Ref) -> dict[str, Any]:
        target = objects[ref.object_id]
        if id(target) not in where:
            return {"$ref": None, "object": ref.object_id}
        text = pointer(id(target))
        budget.charge(VALUE_COST + len(text), "a reference")
        if id(target) not in made:
            made[id(target)] = {"$ref": text}
        return made[id(target)]

    # Children are replaced in place while iterated: a list item or an existing dict
    # key's value may be, and no copy of a large container is made.
    stack = [(root, iter(_children(root)))] if isinstance(root, (dict, list)) else []
    while stack:
        node, children = stack[-1]
        for key, child in children:
            if isinstance(child, _Ref):
                node[key] = replacement(child)
            elif isinstance(child, (dict, list)) and id(child) not in where:
                where[id(child)] = (id(node), key)
                stack.append((child, iter(_children(child))))
                break
        else:
            stack.pop()
    if isinstance(root, _Ref):
        return {"$ref": None, "object": root.object_id}
    return root


def decode_v8(data: bytes, resolve: ExternalResolver = _no_external,
              start: int = 0, end: int | None = None, budget: Budget | None = None) -> tuple[Any, int]:
    """The value of V8 ValueSerializer data starting with its ``FF version`` header;
    returns (value, V8 version). What the value may expand to is limited by
    ``budget`` (by default one for the bytes given)."""
    cur = Cursor(data, start, end)
    if cur.byte() != VERSION_TAG:
        raise DecodeError("V8 data does not start with its version tag")
    version = cur.varint()
    return _decode_body(cur, version, resolve, budget or Budget(cur.end - start)), version


def _decode_body(cur: Cursor, version: int, resolve: ExternalResolver, budget: Budget) -> Any:
    d = _Deserializer(cur, version, resolve, budget)
    value = d.read()
    if d.has_refs:
        value = _resolve_refs(value, d.objects, budget)
    return value


def decode_ssv(data: bytes, resolve: ExternalResolver = _no_external,
               budget: Budget | None = None) -> tuple[Any, dict[str, int]]:
    """A SerializedScriptValue: Blink's envelope, then V8 data. Returns the value and
    the versions found ({"blink": n, "v8": n})."""
    budget = budget or Budget(len(data))
    cur = Cursor(data)
    if cur.peek() != VERSION_TAG:
        raise DecodeError("no version header (legacy version 0 data is not decoded)")
    cur.byte()
    blink = cur.varint()
    end = len(data)
    if blink >= BLINK_TRAILER_VERSION:
        if cur.byte() != TRAILER_OFFSET_TAG:
            raise DecodeError("Blink envelope lacks its trailer offset tag")
        trailer_offset = cur.u64_be()
        cur.u32_be()  # trailer size: the trailer only lists interfaces the value needs
        if trailer_offset:
            if trailer_offset < cur.pos or trailer_offset > len(data):
                raise DecodeError(f"trailer offset {trailer_offset} outside the value")
            end = trailer_offset
    if blink < BLINK_SEPARATE_ENVELOPE_VERSION:
        cur.end = end
        return _decode_body(cur, blink, resolve, budget), {"blink": blink, "v8": blink}
    value, v8 = decode_v8(data, resolve, cur.pos, end, budget)
    return value, {"blink": blink, "v8": v8}
