#!/usr/bin/env python3
"""Make tests/fixtures/chromium/idb_versions: an IndexedDB store in which one
record has several versions, each with a Blob of its own, and a database that
was deleted.

    python3 scripts/make_idb_versions_fixture.py [OUT_DIR]

Uses the browser driver of make_chromium_fixtures.py (Debian's
chromium-headless-shell, a fresh profile, the DevTools protocol). IndexedDB
writes its log at once, so no commit wait is needed; the browser is closed
cleanly so that nothing pending is lost. Takes a few seconds.
"""

from __future__ import annotations

import http.server
import shutil
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from make_chromium_fixtures import BROWSER, DevTools, free_port, wait_for_json

PAGE_JS = r"""
function open(name) {
  return new Promise((ok, fail) => {
    const r = indexedDB.open(name, 1);
    r.onupgradeneeded = () => r.result.createObjectStore('s');
    r.onsuccess = () => ok(r.result);
    r.onerror = () => fail(r.error);
  });
}
function put(db, key, value) {
  return new Promise((ok, fail) => {
    const t = db.transaction('s', 'readwrite');
    t.objectStore('s').put(value, key);
    t.oncomplete = ok;
    t.onerror = () => fail(t.error);
  });
}
function removeDatabase(name) {
  return new Promise((ok, fail) => {
    const r = indexedDB.deleteDatabase(name);
    r.onsuccess = ok;
    r.onerror = () => fail(r.error);
  });
}
async function run() {
  const db = await open('versions');
  // Three versions with a Blob each, then one without.
  await put(db, 'k', new Blob(['first blob'], {type: 'text/plain'}));
  await put(db, 'k', new Blob(['second blob!'], {type: 'text/plain'}));
  await put(db, 'k', new Blob(['third'], {type: 'application/octet-stream'}));
  await put(db, 'k', 'no blob now');
  await put(db, 'other', new Blob(['other record'], {type: 'text/plain'}));
  db.close();
  const gone = await open('gone');
  await put(gone, 'x', 'in a database about to be deleted');
  gone.close();
  await removeDatabase('gone');
  return 'done';
}
"""


def serve() -> socketserver.TCPServer:
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802
            data = f"<!doctype html><meta charset=utf-8><script>{PAGE_JS}</script>".encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args: object) -> None:
            pass

    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main() -> int:
    out_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else \
        Path(__file__).resolve().parent.parent / "tests/fixtures/chromium/idb_versions"
    if shutil.which(BROWSER) is None:
        print(f"needs {BROWSER}: apt-get install -y {BROWSER}", file=sys.stderr)
        return 2
    server = serve()
    page = f"http://127.0.0.1:{server.server_address[1]}/"
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
            while dt.evaluate(session, "typeof run") != "function":
                if time.monotonic() > deadline:
                    raise RuntimeError("the page did not load")
                time.sleep(0.2)
            print("run:", dt.evaluate(session, "run()"), flush=True)
            time.sleep(2)
            dt.call("Browser.close")
            browser.wait(timeout=60)
        finally:
            if browser.poll() is None:
                browser.kill()
                browser.wait()
            server.shutdown()
        src = profile / "Default" / "IndexedDB"
        if out_dir.exists():
            shutil.rmtree(out_dir)
        shutil.copytree(src, out_dir, ignore=shutil.ignore_patterns("LOCK", "LOG", "LOG.old"))
    print("wrote", out_dir, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
