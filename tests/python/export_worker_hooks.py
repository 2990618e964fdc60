"""A chunk runner for tests that run an export in a child process: it notes
each worker's pid in the folder ``$TARNWICK_TEST_PIDS`` and then never ends,
so that the test can kill the export while its workers are busy."""

from __future__ import annotations

import os
import time


def block_forever(chunk: object) -> None:
    folder = os.environ["TARNWICK_TEST_PIDS"]
    with open(os.path.join(folder, str(os.getpid())), "w") as note:
        note.write(str(os.getppid()))
    while True:
        time.sleep(3600)
