#!/usr/bin/env python3
"""Make the real-browser fixtures of tests/fixtures/chromium/.

    python3 scripts/make_chromium_fixtures.py [OUT_DIR]     (default tests/fixtures/chromium)
    python3 scripts/make_chromium_fixtures.py --hostile [OUT_DIR]
                                              (default tests/fixtures/chromium/hostile)

Needs Debian's headless Chromium (`apt-get install -y chromium-headless-shell`) and
nothing outside the standard library. It serves a page on 127.0.0.1 (with a frame
from localhost, a different site, so partitioned storage keys appear too), starts the
headless shell on a fresh profile with a DevTools port, and drives the page through
the DevTools protocol over a small hand-written WebSocket client:

  phase 1   writes localStorage, sessionStorage and IndexedDB entries of every kind,
  (wait)    about 65 s, so the browser commits Local and Session Storage to disk,
  phase 2   overwrites and removes some of them,
  (wait)    again, then closes the browser with Browser.close (a clean shutdown
            writes what is still pending; a signal would lose it).

Each operation the page performed, with the value it wrote in the tagged-JSON form
the decoders produce, is saved as `oracle.json`; the profile's Local Storage, Session
Storage, IndexedDB and WebStorage folders are copied to OUT_DIR/profile. It takes
about two and a half minutes. The page is served on port 60503 when it is free, so the
origins stay those of the committed fixture; sequence numbers and times do change from
one run to the next (the README's examples show some).

With --hostile the page is one that attacks the decoders instead (HOSTILE_JS: value
bombs, deep keys and values, a huge BigInt, names that forge report lines, lone
surrogates), with canary values before and after; its profile and oracle go to
tests/fixtures/chromium/hostile.
"""

from __future__ import annotations

import base64
import http.server
import json
import os
import shutil
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

BROWSER = "chromium-headless-shell"
# The page's port is part of every origin in the fixture (and in the README's examples).
PAGE_PORT = 60503
COMMIT_WAIT_S = float(os.environ.get("COMMIT_WAIT_S", "66"))  # DOM storage commits about once a minute
STORAGE_FOLDERS = ("Local Storage", "Session Storage", "IndexedDB", "WebStorage")

# The tagged-JSON convention shared with tarnwick.chromium's decoders, in JavaScript.
TAG_JS = r"""
function hex(bytes) { return Array.from(bytes, b => b.toString(16).padStart(2, '0')).join(''); }
function num(v) {
  if (Number.isNaN(v)) return {"$number": "NaN"};
  if (v === Infinity) return {"$number": "Infinity"};
  if (v === -Infinity) return {"$number": "-Infinity"};
  if (Object.is(v, -0)) return {"$number": "-0"};
  return v;
}
function esc(k) { return k.startsWith('$') ? '$' + k : k; }
function ptr(k) { return '/' + String(k).replace(/~/g, '~0').replace(/\//g, '~1'); }
function tag(v, path = '', seen = new Map()) {
  if (v === undefined) return {"$undefined": true};
  if (v === null || typeof v === 'boolean' || typeof v === 'string') return v;
  if (typeof v === 'number') return num(v);
  if (typeof v === 'bigint') return {"$bigint": v.toString()};
  if (seen.has(v)) return {"$ref": seen.get(v)};
  seen.set(v, path);
  if (v instanceof Date) return {"$date": isNaN(v.getTime()) ? null : v.toISOString()};
  if (v instanceof RegExp) return {"$regexp": v.source, "flags": v.flags};
  if (v instanceof Number) return {"$number_object": num(v.valueOf())};
  if (v instanceof String) return {"$string_object": v.valueOf()};
  if (v instanceof Boolean) return {"$boolean_object": v.valueOf()};
  if (v instanceof ArrayBuffer) return {"$arraybuffer": hex(new Uint8Array(v))};
  if (v instanceof DOMPointReadOnly) return {"$host": v.constructor.name, "values": [v.x, v.y, v.z, v.w].map(num)};
  if (v instanceof DOMRectReadOnly)
    return {"$host": v.constructor.name, "values": [v.x, v.y, v.width, v.height].map(num)};
  if (v instanceof DOMQuad)
    return {"$host": "DOMQuad", "values": [v.p1, v.p2, v.p3, v.p4].flatMap(p => [p.x, p.y, p.z, p.w]).map(num)};
  if (v instanceof DOMMatrixReadOnly) {
    const m = v.is2D ? [v.a, v.b, v.c, v.d, v.e, v.f]
      : [v.m11, v.m12, v.m13, v.m14, v.m21, v.m22, v.m23, v.m24, v.m31, v.m32, v.m33, v.m34, v.m41, v.m42, v.m43, v.m44];
    return {"$host": v.constructor.name, "is_2d": v.is2D, "values": m.map(num)};
  }
  if (v instanceof DOMException) return {"$host": "DOMException", "name": v.name, "message": v.message};
  if (ArrayBuffer.isView(v)) {
    // The first view over a buffer shows its bytes; later ones refer to it.
    const views = seen.views || (seen.views = new Map());
    const first = views.get(v.buffer);
    if (first !== undefined || seen.has(v.buffer)) {
      if (first !== undefined && !first.whole && !('buffer' in first.node))
        first.node.buffer = {"$arraybuffer": hex(new Uint8Array(v.buffer))};
      return {"$typedarray": v.constructor.name, "buffer": {"$ref": seen.get(v.buffer)},
              "offset": v.byteOffset, "length": v.byteLength};
    }
    const node = {"$typedarray": v.constructor.name,
                  "hex": hex(new Uint8Array(v.buffer, v.byteOffset, v.byteLength))};
    seen.set(v.buffer, path);
    views.set(v.buffer, {node, whole: v.byteOffset === 0 && v.byteLength === v.buffer.byteLength});
    return node;
  }
  if (v instanceof Map) {
    let i = 0, out = [];
    for (const [k, x] of v) {
      out.push([tag(k, path + '/$map/' + i + '/0', seen), tag(x, path + '/$map/' + i + '/1', seen)]);
      i++;
    }
    return {"$map": out};
  }
  if (v instanceof Set) {
    let i = 0, out = [];
    for (const x of v) { out.push(tag(x, path + '/$set/' + i, seen)); i++; }
    return {"$set": out};
  }
  if (v instanceof Error) {
    const out = {"$error": v.name, "message": v.message};
    if (v.stack !== undefined) out.stack = v.stack;
    return out;
  }
  if (Array.isArray(v)) {
    // V8 writes an array with holes as a sparse one: its length and its elements.
    const named = Object.keys(v).filter(k => !(String(k >>> 0) === k && (k >>> 0) < 4294967295));
    const indices = Object.keys(v).filter(k => !named.includes(k));
    const holey = indices.length < v.length;
    const base = holey ? path + '/items' : (named.length ? path + '/$array' : path);
    let items;
    if (holey) {
      items = {};
      for (const k of indices) items[k] = tag(v[k], base + ptr(k), seen);
    } else {
      items = [];
      for (let i = 0; i < v.length; i++) items.push(tag(v[i], base + ptr(i), seen));
    }
    const props = {};
    for (const k of named) props[esc(k)] = tag(v[k], path + '/properties' + ptr(esc(k)), seen);
    if (holey) {
      const out = {"$sparse_array": v.length, "items": items};
      if (named.length) out.properties = props;
      return out;
    }
    return named.length ? {"$array": items, "properties": props} : items;
  }
  const out = {};
  for (const k of Object.keys(v)) out[esc(k)] = tag(v[k], path + ptr(esc(k)), seen);
  return out;
}
function tagKey(k) {
  if (typeof k === 'number') return num(k);
  if (typeof k === 'string') return k;
  if (k instanceof Date) return {"$date": k.toISOString()};
  if (Array.isArray(k)) return k.map(tagKey);
  if (k instanceof ArrayBuffer) return {"$binary": hex(new Uint8Array(k))};
  if (ArrayBuffer.isView(k)) return {"$binary": hex(new Uint8Array(k.buffer, k.byteOffset, k.byteLength))};
  throw new Error('not a key');
}
"""

COMMON_JS = TAG_JS + r"""
const OPS = [];
let PHASE = 0;
function note(op) { op.phase = PHASE; op.origin = location.origin; OPS.push(op); }
function lsSet(k, v) { localStorage.setItem(k, v); note({store: 'localstorage', op: 'set', key: k, value: v}); }
function lsDel(k) { localStorage.removeItem(k); note({store: 'localstorage', op: 'remove', key: k}); }
function ssSet(k, v) { sessionStorage.setItem(k, v); note({store: 'sessionstorage', op: 'set', key: k, value: v}); }
function ssDel(k) { sessionStorage.removeItem(k); note({store: 'sessionstorage', op: 'remove', key: k}); }
function req(r) { return new Promise((ok, bad) => { r.onsuccess = () => ok(r.result); r.onerror = () => bad(r.error); }); }
function openDb(name, version, upgrade) {
  const r = indexedDB.open(name, version);
  r.onupgradeneeded = () => upgrade(r.result);
  return req(r);
}
// One transaction per call, so every operation reaches the log in its own commit.
async function idb(db, store, fn) {
  const tx = db.transaction(store, 'readwrite');
  const done = new Promise((ok, bad) => { tx.oncomplete = ok; tx.onerror = () => bad(tx.error); tx.onabort = () => bad(tx.error); });
  const result = await req(fn(tx.objectStore(store)));
  await done;
  return result;
}
async function put(db, store, value, key, expect) {
  const got = await idb(db, store, s => key === undefined ? s.put(value) : s.put(value, key));
  note({store: 'indexeddb', op: 'put', database: db.name, object_store: store,
        key: tagKey(got), value: expect === undefined ? tag(value) : expect});
}
async function del(db, store, key) {
  await idb(db, store, s => s.delete(key));
  note({store: 'indexeddb', op: 'delete', database: db.name, object_store: store, key: tagKey(key)});
}
"""

PAGE_JS = COMMON_JS + r"""
let DB;
const TEXT = 'Grüße — 日本語 🦊 ';
function lorem(n) { let s = ''; let i = 0; while (s.length < n) s += 'Line ' + (i++) + ': the quick brown fox jumps over the lazy dog. '; return s.slice(0, n); }
function randomBytes(n) {
  const out = new Uint8Array(n); let x = 2463534242;
  for (let i = 0; i < n; i++) { x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0; out[i] = x & 255; }
  return out;
}
const FRAME = new Promise(ok => window.addEventListener('message', e => ok(e.data)));

async function phase1() {
  PHASE = 1;
  lsSet('greeting', 'hello');
  lsSet('latin1', 'café crème');
  lsSet('unicode', TEXT);
  lsSet('ключ', 'значение');
  lsSet('empty', '');
  lsSet('json', JSON.stringify({a: 1, b: [true, null, 'x']}));
  lsSet('to_overwrite', 'first version');
  lsSet('to_delete', 'doomed value');
  lsSet('long', lorem(70000));
  ssSet('s_keep', 'session value');
  ssSet('s_unicode', 'Ωmega ✓');
  ssSet('a-key-with-dashes', 'dash-value');
  ssSet('s_overwrite', 'v1');
  ssSet('s_delete', 'gone soon');

  DB = await openDb('fixture', 3, db => {
    db.createObjectStore('kv');
    const people = db.createObjectStore('people', {keyPath: 'id', autoIncrement: true});
    people.createIndex('by_name', 'name');
    people.createIndex('by_tag', 'tags', {multiEntry: true});
    const c = db.createObjectStore('compound', {keyPath: ['last', 'first']});
    c.createIndex('by_born', 'born', {unique: true});
  });
  const kv = (k, v, expect) => put(DB, 'kv', v, k, expect);
  // keys of every type
  await kv(1, 'number key');
  await kv(-2.5, 'negative number key');
  await kv('string key', 'string key value');
  await kv('ключ 🔑', 'unicode key value');
  await kv(new Date(Date.UTC(2024, 0, 2, 3, 4, 5, 6)), 'date key value');
  await kv([1, 'a', [2, new Date(0)]], 'array key value');
  await kv(new Uint8Array([0, 1, 2, 255]), 'binary key value');
  // values of every type
  await kv('v:str', 'plain text');
  await kv('v:unicode', TEXT);
  await kv('v:int', 42);
  await kv('v:int_neg', -7);
  await kv('v:int_big', 2 ** 40);
  await kv('v:float', 3.14159);
  await kv('v:neg_zero', -0);
  await kv('v:nan', NaN);
  await kv('v:inf', -Infinity);
  await kv('v:true', true);
  await kv('v:false', false);
  await kv('v:null', null);
  await kv('v:undefined', undefined);
  await kv('v:date', new Date(Date.UTC(2021, 11, 31, 23, 59, 59, 999)));
  await kv('v:invalid_date', new Date(NaN));
  await kv('v:regexp', /a+b[c-d]*/gi);
  await kv('v:bigint', 12345678901234567890123456789n);
  await kv('v:bigint_neg', -5n);
  await kv('v:bigint_zero', 0n);
  await kv('v:map', new Map([['a', 1], [2, {b: true}], [null, [1, 2]]]));
  await kv('v:set', new Set([1, 'two', [3]]));
  await kv('v:dense', [1, 'two', 3.5, null, undefined, {x: 'y'}]);
  const sparse = []; sparse[2] = 'x'; sparse[7] = 7;
  await kv('v:sparse', sparse);
  const huge = []; huge[100000] = 'far'; huge[3] = 'near';
  await kv('v:sparse_huge', huge);
  const named = [1, 2]; named.label = 'extra';
  await kv('v:array_props', named);
  await kv('v:nested', {level1: {level2: {level3: [1, [2, [3, {deep: 'yes'}]]]}}, empty: {}, list: []});
  await kv('v:object_keys', {1: 'one', 10: 'ten', b: 'bee', 'é': 'accent', '': 'empty key', $date: 'not a tag'});
  await kv('v:arraybuffer', new Uint8Array([0, 1, 2, 254, 255]).buffer);
  await kv('v:uint8', new Uint8Array([1, 2, 3]));
  await kv('v:int16', new Int16Array([-1, 2, -300]));
  await kv('v:float64', new Float64Array([1.5, -2, Math.PI]));
  await kv('v:bigint64', new BigInt64Array([-1n, 2n ** 40n]));
  await kv('v:subview', new Uint8Array(new Uint8Array([9, 8, 7, 6, 5, 4]).buffer, 2, 3));
  await kv('v:dataview', new DataView(new Uint8Array([1, 2, 3, 4]).buffer, 1, 2));
  const shared_buf = new Uint8Array([1, 2, 3, 4]).buffer;
  await kv('v:shared_buffer', [new Uint8Array(shared_buf, 0, 2), new Uint16Array(shared_buf, 2, 1)]);
  await kv('v:wrappers', [new Number(5), new String('str'), new Boolean(false)]);
  const s = {v: 1};
  await kv('v:shared', {a: s, b: s, c: [s]});
  const cyc = {name: 'loop'}; cyc.self = cyc; cyc.list = [cyc];
  await kv('v:cycle', cyc);
  const m = new Map(); m.set('me', m);
  await kv('v:map_cycle', m);
  await kv('v:error', new TypeError('bad thing'));
  // Blink's own serialisable objects.
  await kv('v:dompoint', new DOMPoint(1, 2.5, -3, 4));
  await kv('v:domrect_readonly', new DOMRectReadOnly(0.5, 1, 2, 3));
  await kv('v:dommatrix_2d', new DOMMatrix([1, 2, 3, 4, 5, 6]));
  await kv('v:dommatrix_3d', new DOMMatrixReadOnly(Array.from({length: 16}, (_, i) => i / 2)));
  await kv('v:domquad', new DOMQuad(new DOMPoint(0, 0), new DOMPoint(1, 0), new DOMPoint(1, 1), new DOMPoint(0, 1)));
  await kv('v:domexception', new DOMException('no such thing', 'NotFoundError'));
  const rawKey = new Uint8Array(16).map((_, i) => i * 7);
  await kv('v:crypto_aes', await crypto.subtle.importKey('raw', rawKey, {name: 'AES-GCM'}, true, ['encrypt', 'decrypt']),
           {"$host": "CryptoKey", "key_kind": "aes", "algorithm": "AES-GCM", "length_bits": 128,
            "extractable": true, "usages": ["encrypt", "decrypt"], "hex": hex(rawKey)});
  await kv('v:crypto_hmac', await crypto.subtle.importKey('raw', rawKey, {name: 'HMAC', hash: 'SHA-256'}, false, ['sign', 'verify']),
           {"$host": "CryptoKey", "key_kind": "hmac", "hash": "SHA-256", "length_bits": 128,
            "extractable": false, "usages": ["sign", "verify"], "hex": hex(rawKey)});
  const ec = await crypto.subtle.generateKey({name: 'ECDSA', namedCurve: 'P-256'}, true, ['sign', 'verify']);
  await kv('v:crypto_ec_public', ec.publicKey,
           {"$host": "CryptoKey", "key_kind": "ec", "algorithm": "ECDSA", "key_type": "public",
            "named_curve": "P-256", "extractable": true, "usages": ["verify"],
            "hex": hex(new Uint8Array(await crypto.subtle.exportKey('spki', ec.publicKey)))});
  await kv('v:large_text', lorem(300000));
  await kv('v:large_binary', randomBytes(150000));
  await kv('v:blob', new Blob(['blob contents ✓'], {type: 'text/plain'}),
           {"$blob": {"type": "text/plain", "size": 17, "hex": hex(new TextEncoder().encode('blob contents ✓'))}});
  await kv('v:file', new File(['file body'], 'notes.txt', {type: 'text/plain', lastModified: Date.UTC(2023, 4, 6)}),
           {"$file": {"name": "notes.txt", "type": "text/plain", "size": 9,
                      "last_modified": new Date(Date.UTC(2023, 4, 6)).toISOString(),
                      "hex": hex(new TextEncoder().encode('file body'))}});
  await kv('to_overwrite', {version: 1});
  await kv('to_delete', 'deleted later');
  for (const p of [{name: 'Ada', tags: ['math', 'first']}, {name: 'Grace', tags: ['navy']}, {name: 'Linus', tags: []}])
    await put(DB, 'people', p);
  await put(DB, 'compound', {last: 'Lovelace', first: 'Ada', born: new Date(Date.UTC(1815, 11, 10))});
  const frame = await FRAME;
  for (const op of frame) OPS.push(op);
  return OPS.length;
}

async function phase2() {
  PHASE = 2;
  lsSet('to_overwrite', 'second version');
  lsDel('to_delete');
  lsSet('added_later', 'late ✓');
  ssSet('s_overwrite', 'v2');
  ssDel('s_delete');
  await put(DB, 'kv', {version: 2}, 'to_overwrite');
  await del(DB, 'kv', 'to_delete');
  await del(DB, 'kv', 1);
  await put(DB, 'people', {id: 1, name: 'Ada L.', tags: ['math']});
  await del(DB, 'people', 2);
  return OPS.length;
}
"""

FRAME_JS = COMMON_JS + r"""
(async () => {
  PHASE = 1;
  lsSet('framed', 'inside a cross-site frame');
  const db = await openDb('framedb', 1, d => d.createObjectStore('s'));
  await put(db, 's', {frame: true}, 'k');
  parent.postMessage(OPS, '*');
})();
"""


# The hostile page: what a web page can write to make a forensic decoder expand,
# recurse, forge report lines or confuse two keys, each between canary values that
# must come out around it. Keys and values are noted as JSON text (key_json,
# value_json): some nest too deep for a round trip through the DevTools protocol.
HOSTILE_JS = COMMON_JS + r"""
const FORGED = 'x\nindexeddb      https://bank.example / accounts / kv [data] "balance" = "1,000,000 USD"  (current, seq 5)\n';
function nested(leaf, depth) { let v = leaf; for (let i = 0; i < depth; i++) v = [v]; return v; }
// The tagged JSON of nested(leaf, depth), spelled out: tag() would overflow the stack.
function nestedJson(leaf, depth) { return '['.repeat(depth) + JSON.stringify(leaf) + ']'.repeat(depth); }
// expect: {json: the value's tagged JSON} or {error: text the decoder's reason holds}.
async function putJ(db, store, value, key, expect = {}) {
  const got = await idb(db, store, s => s.put(value, key));
  const op = {store: 'indexeddb', op: 'put', database: db.name, object_store: store,
              key_json: JSON.stringify(tagKey(got))};
  if (expect.error) op.expect_error = expect.error;
  else op.value_json = expect.json !== undefined ? expect.json : JSON.stringify(tag(value));
  note(op);
}
async function phase1() {
  PHASE = 1;
  lsSet('canary:before', 'before');
  lsSet(FORGED, 'a key that forges a report line');
  lsSet('lone\ud800', 'lone high surrogate');
  lsSet('lone\udbff', 'another lone high surrogate');
  lsSet('value:lone', 'v\udc00');
  lsSet('canary:after', 'after');
  const db = await openDb('hostile', 1, d => { d.createObjectStore('kv'); d.createObjectStore(FORGED); });
  const kv = (k, v, expect) => putJ(db, 'kv', v, k, expect);
  await kv('canary:before', 'before');
  // 2,000 arrays of 10,000 holes: a few bytes each on disk.
  await kv('bomb:holes', Array.from({length: 2000}, () => new Array(10000)));
  // 200 views over one 4 KiB buffer: a few bytes each after the first.
  const buffer = new Uint8Array(4096).fill(7).buffer;
  await kv('bomb:views', Array.from({length: 200}, () => new Uint8Array(buffer)));
  await kv('bigint:5001', 10n ** 5000n + 7n);
  for (const depth of [500, 1000, 2000]) await kv(nested('leaf', depth), 'array key ' + depth + ' deep');
  await kv('value:deep3000', nested('leaf', 3000), {json: nestedJson('leaf', 3000)});
  // 2,000 references (two bytes each) to an object 3,000 levels down: each is
  // reported as a JSON Pointer of 6,000 characters, far beyond the record's budget.
  const inner = {leaf: true};
  await kv('bomb:references', [nested(inner, 3000), ...Array(2000).fill(inner)], {error: 'over budget'});
  await kv('lone\ud800', 'lone high key');
  await kv('lone\udbff', 'another lone high key');
  await kv('value:lone', 'v\udc00');
  await putJ(db, FORGED, 'in a store with a forged name', 'k');
  for (const name of [FORGED, 'lone\ud800', 'lone\udbff']) {
    const other = await openDb(name, 1, d => d.createObjectStore('s'));
    await putJ(other, 's', 'in database ' + JSON.stringify(name), 'k');
    other.close();
  }
  await kv('canary:after', 'after');
  return OPS.length;
}
async function phase2() { PHASE = 2; return OPS.length; }
"""


def page_html(frame_url: str, hostile: bool = False) -> str:
    if hostile:
        return f"<!doctype html><meta charset=utf-8><title>hostile</title><script>{HOSTILE_JS}</script>"
    return (f"<!doctype html><meta charset=utf-8><title>fixture</title>"
            f"<script>{PAGE_JS}</script><iframe src='{frame_url}'></iframe>")


class WebSocket:
    """The client side of RFC 6455, just enough for the DevTools protocol."""

    def __init__(self, url: str) -> None:
        assert url.startswith("ws://")
        hostport, _, path = url[5:].partition("/")
        host, _, port = hostport.partition(":")
        self.sock = socket.create_connection((host, int(port)))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           f"Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise ConnectionError("handshake failed")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError(head.decode(errors="replace"))

    def _exact(self, n: int) -> bytes:
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("closed")
            out += chunk
        return out

    def send(self, text: str) -> None:
        data = text.encode()
        head = bytes([0x81])
        n = len(data)
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def recv(self) -> str:
        message = b""
        while True:
            b0, b1 = self._exact(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._exact(8))[0]
            payload = self._exact(n)
            opcode = b0 & 0x0F
            if opcode == 8:
                raise ConnectionError("closed by the browser")
            if opcode in (0, 1, 2):
                message += payload
                if b0 & 0x80:
                    return message.decode()


class DevTools:
    def __init__(self, url: str) -> None:
        self.ws = WebSocket(url)
        self.next_id = 0

    def call(self, method: str, session: str | None = None, **params: object) -> dict:
        self.next_id += 1
        msg: dict = {"id": self.next_id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        self.ws.send(json.dumps(msg))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def evaluate(self, session: str, expression: str) -> object:
        result = self.call("Runtime.evaluate", session, expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(json.dumps(result["exceptionDetails"])[:2000])
        return result["result"].get("value")


def serve(port: int, hostile: bool = False) -> socketserver.TCPServer:
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            port = self.server.server_address[1]
            if self.path.startswith("/frame"):
                body = f"<!doctype html><meta charset=utf-8><script>{FRAME_JS}</script>"
            else:
                body = page_html(f"http://localhost:{port}/frame.html", hostile)
            data = body.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args: object) -> None:
            pass

    try:
        server = socketserver.ThreadingTCPServer(("127.0.0.1", port), Handler)
    except OSError:  # taken: any port will do, only the origins in the fixture change
        server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_json(url: str, timeout: float = 30) -> object:
    deadline = time.monotonic() + timeout
    while True:
        try:
            with urllib.request.urlopen(url, timeout=2) as r:
                return json.load(r)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def main() -> int:
    args = sys.argv[1:]
    hostile = "--hostile" in args
    args = [a for a in args if a != "--hostile"]
    default = Path(__file__).resolve().parent.parent / "tests/fixtures/chromium"
    out_dir = Path(args[0]) if args else default / "hostile" if hostile else default
    if shutil.which(BROWSER) is None:
        print(f"needs {BROWSER}: apt-get install -y {BROWSER}", file=sys.stderr)
        return 2
    server = serve(PAGE_PORT, hostile)
    port = server.server_address[1]
    # localhost and 127.0.0.1 resolve to the same server but are different sites.
    page = f"http://127.0.0.1:{port}/"
    debug_port = free_port()
    with tempfile.TemporaryDirectory(prefix="tarnwick-chromium-") as tmp:
        profile = Path(tmp) / "profile"
        cmd = [BROWSER, "--no-sandbox", f"--user-data-dir={profile}",
               f"--remote-debugging-port={debug_port}", "--no-first-run", "about:blank"]
        browser = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            version = wait_for_json(f"http://127.0.0.1:{debug_port}/json/version")
            dt = DevTools(version["webSocketDebuggerUrl"])  # type: ignore[index]
            target = dt.call("Target.createTarget", url=page)["targetId"]
            session = dt.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            deadline = time.monotonic() + 30
            while dt.evaluate(session, "typeof phase1") != "function":
                if time.monotonic() > deadline:
                    raise RuntimeError("the page did not load")
                time.sleep(0.2)
            print("phase 1:", dt.evaluate(session, "phase1()"), "operations", flush=True)
            time.sleep(COMMIT_WAIT_S)
            print("phase 2:", dt.evaluate(session, "phase2()"), "operations", flush=True)
            ops = dt.evaluate(session, "OPS")
            time.sleep(COMMIT_WAIT_S)
            dt.call("Browser.close")
            browser.wait(timeout=60)
        finally:
            if browser.poll() is None:
                browser.kill()
                browser.wait()
            server.shutdown()
        src = profile / "Default"
        dest = out_dir / "profile"
        if dest.exists():
            shutil.rmtree(dest)
        dest.mkdir(parents=True)
        for name in STORAGE_FOLDERS:
            if (src / name).exists():
                shutil.copytree(src / name, dest / name,
                                ignore=shutil.ignore_patterns("LOCK", "LOG", "LOG.old", "QuotaManager*"))
        oracle = {"browser": version["Browser"], "page_origin": page.rstrip("/"),  # type: ignore[index]
                  "operations": ops}
        # The hostile page's strings hold lone surrogates, which only escaped JSON keeps.
        (out_dir / "oracle.json").write_text(json.dumps(oracle, indent=1, ensure_ascii=hostile) + "\n")
    print("wrote", out_dir, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
