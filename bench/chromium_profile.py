#!/usr/bin/env python3
"""A bulk Chromium profile written by real headless Chromium, for the benchmarks of
``tarnwick chromium``.

    python3 bench/chromium_profile.py [--scale 1] [--data ROOT]

prints the folder of the profile, made once and cached as
ROOT/chromium-bulk-<scale>x (ROOT defaults to ${TARNWICK_BENCH_DATA:-/var/tmp/tarnwick-bench}).
Beside the ``profile`` folder a marker, ``chromium-bulk.json``, records the recipe it
was made with and where its stores are; a folder whose recipe differs is made again,
in ``<name>.tmp`` renamed when complete, so an interrupted run never leaves a folder
that looks finished.

Needs Debian's ``chromium-headless-shell`` and only the standard library. A page
served on 127.0.0.1 is opened under many origins (``http://oNNN.localhost:PORT``:
the browser sends every ``*.localhost`` name to the loopback address, and each name
is an origin of its own), and written through the DevTools protocol in two browser
sessions on the same profile:

  session 1  every origin fills its Local Storage with ``LS_KEYS`` keys (an origin
             holds at most about 10 MB, hence many origins); the first origin also
             fills two IndexedDB object stores, one with out-of-line string keys and
             one with a key path and two indexes (one of them multi-entry), in
             transactions of ``IDB_BATCH`` puts,
             with values of many V8 types (strings, numbers, BigInts, objects, arrays,
             dates, Maps, Sets, typed arrays, nested objects);
  session 2  overwrites some of those keys and deletes others.

Each session ends with ``Browser.close``: a clean shutdown writes whatever the browser
still holds, so the first values are on disk before the second session supersedes
them, and the store keeps both (the histories ``--history`` shows). At scale 1 that
is about 240,000 Local Storage records (8 MB) and 0.7 to 1.2 million IndexedDB records
(20 to 30 MB): how many superseded versions and deletions remain depends on how far the
browser's own compactions got before it closed. Scale N writes N times the origins and
N times the IndexedDB puts. Making them took 70 s (scale 1) and 17 minutes (scale 10)
on two cores shared with other work (load average about 20).

The key ``PROBE_KEY`` is written (and neither overwritten nor deleted) in every origin's
Local Storage and in the IndexedDB store ``kv``: the benchmarks look it up with --key.
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import shutil
import signal
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from make_chromium_fixtures import BROWSER, DevTools, free_port, wait_for_json  # noqa: E402

# Bump when the page or the layout of the cached folder changes: cached profiles
# made by an older recipe are then made again.
RECIPE_VERSION = 3
MARKER = "chromium-bulk.json"

# Per unit of scale.
LS_ORIGINS = 20
LS_KEYS = 12_000  # per origin: about 0.5 MB of its 10 MB
# Once the browser's own compactions are done, a put to "kv" leaves two records (the
# value and its "exists" entry), one to "items" about eight (those, an entry of its
# index by tag and one per distinct word of its multi-entry index by word); session 2
# adds versions and deletions, and whatever was not compacted yet stays too.
IDB_KV_PUTS = 86_000
IDB_ITEM_PUTS = 63_000
IDB_BATCH = 10_000  # puts per transaction
IDB_CALL = 50_000  # puts per DevTools call (a progress line each)

PROBE_KEY = "k:000042"
STORAGE_FOLDERS = ("Local Storage", "IndexedDB")
BROWSER_START_TIMEOUT_S = 60

PAGE_JS = r"""
const WORDS = ['alpha', 'beta', 'gamma', 'delta', 'epsilon', 'zeta', 'eta', 'theta', 'Grüße', 'café',
               'crème', 'naïve', '日本語', 'ключ', '🦊', 'Ωmega'];
const TAGS = ['red', 'green', 'blue', 'cyan', 'magenta', 'yellow', 'black'];
// xorshift32: the same values on every run.
function rng(seed) {
  let x = (seed >>> 0) || 1;
  return () => { x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0; return x; };
}
function words(r, n) { const out = []; for (let i = 0; i < n; i++) out.push(WORDS[r() % WORDS.length]); return out.join(' '); }
function key(i) { return 'k:' + String(i).padStart(6, '0'); }
function when(r) { return 1.6e12 + (r() % 100000000) * 1000; }

// What pages keep in Local Storage: text (Latin-1 or not, which the browser stores
// in two encodings), JSON of objects and arrays, numbers as text.
function lsValue(i, r) {
  switch (i % 5) {
    case 0: return words(r, 2 + r() % 10);
    case 1: return JSON.stringify({id: i, name: words(r, 2), at: when(r), tags: [words(r, 1), words(r, 1)]});
    case 2: return String(r());
    case 3: return 'plain value ' + i + ' ' + r().toString(36);
    default: return JSON.stringify([i, r() % 1000, true, null, words(r, 1)]);
  }
}
function fillLocalStorage(n, seed) {
  const r = rng(seed);
  for (let i = 0; i < n; i++) localStorage.setItem(key(i), lsValue(i, r));
  return localStorage.length;
}
// Every tenth key overwritten, every twentieth (another residue) removed.
function changeLocalStorage(n, seed) {
  const r = rng(seed);
  let changes = 0;
  for (let i = 0; i < n; i += 10) { localStorage.setItem(key(i), 'changed: ' + lsValue(i + 1, r)); changes++; }
  for (let i = 5; i < n; i += 20) { localStorage.removeItem(key(i)); changes++; }
  return changes;
}

// Values of the V8 types pages put into IndexedDB.
function idbValue(i, r) {
  switch (i % 13) {
    case 0: return words(r, 2 + r() % 12);
    case 1: return r() / 7;
    case 2: return r() % 100000;
    case 3: return {id: i, name: words(r, 2), active: (r() & 1) === 1, score: (r() % 1000) / 10,
                    tags: [words(r, 1), words(r, 1)]};
    case 4: return [i, words(r, 2), (r() % 1000) / 3, null, true, undefined];
    case 5: return new Date(when(r));
    case 6: return new Map([['a', i], ['b', words(r, 2)], [i, [1, 2]]]);
    case 7: return new Float64Array([r() / 3, r() / 5, i]);
    case 8: { const b = new Uint8Array(16); for (let j = 0; j < 16; j++) b[j] = r() & 255; return b; }
    case 9: return new Set([i, words(r, 1), i + 1]);
    case 10: return BigInt(r()) * 1000003n;
    case 11: return {nested: {deep: {list: [i, {x: words(r, 1)}]}}, at: new Date(when(r)), none: null,
                     flag: false};
    default: return (r() & 1) === 1;
  }
}
function item(i, r, tag) {
  return {id: i, tag, name: words(r, 2), words: words(r, 6).split(' '), note: words(r, 4 + r() % 12),
          at: new Date(when(r)), score: r() / 1e6, flags: [i % 2 === 0, i % 3 === 0], extra: idbValue(i, r)};
}
function req(r) { return new Promise((ok, bad) => { r.onsuccess = () => ok(r.result); r.onerror = () => bad(r.error); }); }
function done(tx) {
  return new Promise((ok, bad) => { tx.oncomplete = ok; tx.onerror = () => bad(tx.error); tx.onabort = () => bad(tx.error); });
}
function openBulk() {
  const r = indexedDB.open('bulk', 1);
  r.onupgradeneeded = () => {
    const db = r.result;
    db.createObjectStore('kv');
    const items = db.createObjectStore('items', {keyPath: 'id'});
    items.createIndex('by_tag', 'tag');
    items.createIndex('by_word', 'words', {multiEntry: true});
  };
  return req(r);
}
// Puts keys [start, end) of "kv" (and of "items", below its own count), a
// transaction per batch.
async function fillIndexedDb(start, end, kvCount, itemCount, batch, seed) {
  const db = await openBulk();
  const r = rng(seed + start);
  for (let b = start; b < end; b += batch) {
    const tx = db.transaction(['kv', 'items'], 'readwrite');
    const kv = tx.objectStore('kv'), items = tx.objectStore('items');
    for (let i = b; i < Math.min(end, b + batch); i++) {
      if (i < kvCount) kv.put(idbValue(i, r), key(i));
      if (i < itemCount) items.put(item(i, r, TAGS[i % TAGS.length]));
    }
    await done(tx);
  }
  db.close();
  return end - start;
}
// "kv": every eighth key given a value of another type, every sixteenth (another
// residue) deleted; "items": every tenth moved to another tag and other words (its
// index entries move too), every twentieth deleted.
async function changeIndexedDb(start, end, kvCount, itemCount, batch, seed) {
  const db = await openBulk();
  const r = rng(seed + start);
  let changes = 0;
  for (let b = start; b < end; b += batch) {
    const tx = db.transaction(['kv', 'items'], 'readwrite');
    const kv = tx.objectStore('kv'), items = tx.objectStore('items');
    for (let i = b; i < Math.min(end, b + batch); i++) {
      if (i < kvCount && i % 8 === 0) { kv.put(idbValue(i + 1, r), key(i)); changes++; }
      if (i < kvCount && i % 16 === 4) { kv.delete(key(i)); changes++; }
      if (i < itemCount && i % 10 === 0) { items.put(item(i, r, TAGS[(i + 1) % TAGS.length])); changes++; }
      if (i < itemCount && i % 20 === 5) { items.delete(i); changes++; }
    }
    await done(tx);
  }
  db.close();
  return changes;
}
"""


def recipe(scale: int) -> dict:
    return {
        "recipe": RECIPE_VERSION,
        "scale": scale,
        "ls_origins": LS_ORIGINS * scale,
        "ls_keys_per_origin": LS_KEYS,
        "idb_kv_puts": IDB_KV_PUTS * scale,
        "idb_item_puts": IDB_ITEM_PUTS * scale,
        "idb_batch": IDB_BATCH,
        "probe_key": PROBE_KEY,
    }


def origin_host(n: int) -> str:
    return f"o{n:03d}.localhost"


def serve() -> socketserver.TCPServer:
    page = f"<!doctype html><meta charset=utf-8><title>bulk</title><script>{PAGE_JS}</script>".encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args: object) -> None:
            pass

    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Session:
    """One headless browser on the profile, driven through one tab."""

    def __init__(self, user_data: Path) -> None:
        debug_port = free_port()
        # A session of its own: Debian's launcher script does not exec the browser, so
        # stopping the launcher alone would leave the browser running.
        self.browser = subprocess.Popen(
            [BROWSER, "--no-sandbox", f"--user-data-dir={user_data}", f"--remote-debugging-port={debug_port}",
             "--no-first-run", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            version = wait_for_json(f"http://127.0.0.1:{debug_port}/json/version", BROWSER_START_TIMEOUT_S)
            self.version = version["Browser"]  # type: ignore[index]
            self.dt = DevTools(version["webSocketDebuggerUrl"])  # type: ignore[index]
            target = self.dt.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.dt.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        except BaseException:
            self.kill()
            raise

    def open(self, url: str) -> None:
        origin = url.rstrip("/")
        self.dt.call("Page.navigate", self.session, url=url)
        deadline = time.monotonic() + 30
        probe = f"location.origin === {json.dumps(origin)} && typeof fillLocalStorage === 'function'"
        while self.dt.evaluate(self.session, probe) is not True:
            if time.monotonic() > deadline:
                raise RuntimeError(f"{url} did not load")
            time.sleep(0.05)

    def run(self, expression: str) -> object:
        return self.dt.evaluate(self.session, expression)

    def close(self) -> None:
        """A clean shutdown: the browser writes what it still holds."""
        self.dt.call("Browser.close")
        self.browser.wait(timeout=300)

    def kill(self) -> None:
        if self.browser.poll() is None:
            os.killpg(self.browser.pid, signal.SIGKILL)
            self.browser.wait()


def write_profile(user_data: Path, want: dict, log) -> str:
    server = serve()
    port = server.server_address[1]
    urls = [f"http://{origin_host(n)}:{port}/" for n in range(want["ls_origins"])]
    kv, items, batch = want["idb_kv_puts"], want["idb_item_puts"], want["idb_batch"]
    puts = max(kv, items)
    version = ""
    try:
        for number, (ls_call, idb_call) in enumerate(
                [("fillLocalStorage", "fillIndexedDb"), ("changeLocalStorage", "changeIndexedDb")], start=1):
            started = time.monotonic()
            session = Session(user_data)
            try:
                version = session.version
                for n, url in enumerate(urls):
                    session.open(url)
                    session.run(f"{ls_call}({want['ls_keys_per_origin']}, {n + 1})")
                    if n == 0:
                        for start in range(0, puts, IDB_CALL):
                            end = min(puts, start + IDB_CALL)
                            session.run(f"{idb_call}({start}, {end}, {kv}, {items}, {batch}, 7)")
                            log(f"  session {number}: IndexedDB {end:,} / {puts:,} "
                                f"({time.monotonic() - started:.0f} s)")
                log(f"  session {number}: Local Storage of {len(urls)} origins written "
                    f"({time.monotonic() - started:.0f} s)")
                session.run("location.href = 'about:blank'")
                session.close()
            finally:
                session.kill()
            log(f"  session {number} done in {time.monotonic() - started:.0f} s")
    finally:
        server.shutdown()
    return version


def ensure(root: Path, scale: int, log=lambda text: print(text, file=sys.stderr, flush=True)) -> dict:
    """The marker of the cached profile at this scale, made first if need be. Its
    "stores" map the kinds (localstorage, indexeddb) to their folders."""
    want = recipe(scale)
    name = f"chromium-bulk-{scale}x"
    target = root / name
    marker = target / MARKER
    if marker.is_file():
        made = json.loads(marker.read_text())
        if made.get("recipe_used") == want:
            return made | {"profile": str(target / "profile"),
                           "stores": {kind: str(target / "profile" / rel) for kind, rel in made["stores"].items()}}
    if shutil.which(BROWSER) is None:
        raise FileNotFoundError(f"{BROWSER} is not installed (apt-get install -y {BROWSER})")
    root.mkdir(parents=True, exist_ok=True)
    shutil.rmtree(target, ignore_errors=True)
    staging = root / f"{name}.tmp"
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir()
    log(f"making {target} with {BROWSER} (once): {want['ls_origins']} origins of Local Storage, "
        f"{want['idb_kv_puts'] + want['idb_item_puts']:,} IndexedDB puts")
    started = time.monotonic()
    # The browser's own folder sits beside the copy, on the same file system.
    user_data = Path(tempfile.mkdtemp(prefix="browser-", dir=staging))
    version = write_profile(user_data, want, log)
    profile = staging / "profile"
    profile.mkdir()
    for folder in STORAGE_FOLDERS:
        source = user_data / "Default" / folder
        if source.exists():
            shutil.copytree(source, profile / folder, ignore=shutil.ignore_patterns("LOCK", "LOG", "LOG.old"))
    shutil.rmtree(user_data)
    idb = sorted((profile / "IndexedDB").glob("*.indexeddb.leveldb"))
    if not (profile / "Local Storage" / "leveldb" / "CURRENT").is_file() or len(idb) != 1:
        raise RuntimeError(f"the browser did not leave the expected stores in {profile}")
    made = {
        "recipe_used": want,
        "browser": version,
        "making_seconds": round(time.monotonic() - started, 1),
        "stores": {"localstorage": "Local Storage/leveldb", "indexeddb": f"IndexedDB/{idb[0].name}"},
        "probe_key": PROBE_KEY,
    }
    (staging / MARKER).write_text(json.dumps(made, indent=1) + "\n")
    staging.rename(target)
    log(f"made {target} in {made['making_seconds']:.0f} s")
    return ensure(root, scale, log)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=1)
    parser.add_argument("--data", type=Path,
                        default=Path(os.environ.get("TARNWICK_BENCH_DATA", "/var/tmp/tarnwick-bench")))
    args = parser.parse_args()
    try:
        made = ensure(args.data, args.scale)
    except FileNotFoundError as error:
        print(error, file=sys.stderr)
        return 2
    print(made["profile"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
