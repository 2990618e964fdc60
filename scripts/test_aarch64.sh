#!/usr/bin/env bash
# Tries the 64-bit ARM wheel where it is meant to run: installs it with pip into
# a fresh virtual environment of Debian's own arm64 CPython, in an arm64 Debian
# root, and has it read the bundled sample there (the module, the scanner and
# the command line). What it reads must equal, byte for byte, what the source
# build on this machine reads. The arm64 programs run under qemu-user, which
# the kernel starts for them through binfmt_misc.
#
#   scripts/test_aarch64.sh WHEEL      (through ./dev test-aarch64, which builds
#                                       the wheel with ./dev dist-aarch64 first)
#
# Needs root (debootstrap, chroot, a mount namespace) and the Debian packages
# qemu-user-static, binfmt-support and debootstrap. The Debian root is made
# once, with debootstrap from the Debian mirror (TARNWICK_DEBIAN_MIRROR,
# default deb.debian.org), for this machine's Debian release, in
# build/aarch64/debian-arm64, and kept for the next run; the smoke test works
# in a fresh directory inside it each time. Not part of CI: the root takes some
# minutes to make, and everything in it runs emulated.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PY:-$ROOT/.venv/bin/python}
ROOTFS=$ROOT/build/aarch64/debian-arm64
MIRROR=${TARNWICK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SAMPLE=$ROOT/tests/fixtures/sample_db

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

(($# == 1)) && [[ -f $1 ]] || { echo "usage: $0 WHEEL (one aarch64 wheel)" >&2; exit 2; }
wheel=$(realpath "$1")
[[ $(id -u) -eq 0 ]] || { echo "the arm64 root needs root (debootstrap, chroot)" >&2; exit 1; }

# binfmt_misc: mounted where the system has not done it (a container, a fresh
# virtual machine), and qemu's arm64 entry enabled in it.
binfmt=/proc/sys/fs/binfmt_misc
if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" ||
        { echo "binfmt_misc cannot be mounted here, so arm64 programs cannot run" >&2; exit 1; }
fi
if [[ ! -e $binfmt/qemu-aarch64 ]]; then
    update-binfmts --enable qemu-aarch64 ||
        { echo "qemu's arm64 entry cannot be registered with binfmt_misc" >&2; exit 1; }
fi

# Runs a command in the arm64 root, with /proc mounted inside it for the
# command's lifetime only (a private mount namespace: nothing stays mounted),
# and an environment of its own (nothing of this machine's pip or Python set-up).
in_root() {
    unshare --mount --propagation private sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' \
        "$ROOTFS" env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"
}

# The root: Debian's minimal base with its python3 and venv, marked complete
# only once debootstrap has finished, so that an interrupted one is redone.
if [[ ! -f $ROOTFS/.tarnwick-complete ]]; then
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}")
    log "making an arm64 Debian $suite root in ${ROOTFS#"$ROOT"/} (debootstrap from $MIRROR)"
    rm -rf "$ROOTFS"
    mkdir -p "$(dirname "$ROOTFS")"
    debootstrap --arch=arm64 --variant=minbase --include=python3,python3-venv \
        "$suite" "$ROOTFS" "$MIRROR" >"$ROOTFS.log" 2>&1 ||
        { tail -30 "$ROOTFS.log" >&2; echo "debootstrap failed; its log: $ROOTFS.log" >&2; exit 1; }
    touch "$ROOTFS/.tarnwick-complete"
fi

# Reads the store in the current directory's sample_db with the module and with
# the scanner, and prints the records, the machine and the module's place as JSON.
READ_SAMPLE='
import json, platform, _tarnwick, tarnwick
with _tarnwick.RawLevelDb("sample_db") as db:
    raw = [[r.key.hex(), r.value.hex(), r.seq, int(r.state), int(r.file_type), r.origin_file, r.offset,
            r.was_compressed] for r in db.iterate_records_raw()]
scanned = [[r.key.hex(), r.value.hex(), r.seq, r.file_number, r.offset] for r in tarnwick.records("sample_db")]
text = b"".join(tarnwick.scan_text("sample_db", format="jsonl")).decode()
print(json.dumps({"machine": platform.machine(), "module": _tarnwick.__file__,
                  "raw": raw, "scanned": scanned, "jsonl": text}))
'

smoke=/tmp/tarnwick-smoke
log "installing $(basename "$wheel") into a fresh environment of the root's CPython"
rm -rf "$ROOTFS$smoke"
mkdir -p "$ROOTFS$smoke/dist"
cp "$wheel" "$ROOTFS$smoke/dist/"
cp -r "$SAMPLE" "$ROOTFS$smoke/sample_db"
in_root /usr/bin/python3 -m venv "$smoke/venv"
in_root "$smoke/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
    --find-links "$smoke/dist" tarnwick

log "reading the sample under qemu-user ($(in_root /usr/bin/python3 -V))"
in_root sh -c 'cd "$1" && venv/bin/python -c "$2" >theirs.json' sh "$smoke" "$READ_SAMPLE"
(cd "$ROOTFS$smoke" && "$PY" -c "$READ_SAMPLE" >ours.json)
"$PY" - "$ROOTFS$smoke" "$smoke/venv/" <<'EOF'
import json, pathlib, sys
place, venv = pathlib.Path(sys.argv[1]), sys.argv[2]
theirs, ours = (json.loads((place / name).read_text()) for name in ("theirs.json", "ours.json"))
assert theirs["machine"] == "aarch64", theirs["machine"]
assert theirs["module"].startswith(venv), f"the module came from {theirs['module']}, not the wheel"
assert theirs["raw"] and any(r[-1] for r in theirs["raw"]), "the sample has no record from a compressed block"
for part in ("raw", "scanned", "jsonl"):
    assert theirs[part] == ours[part], f"{part}: the arm64 wheel reads the sample otherwise than the source build"
print(f"{len(theirs['raw'])} records, the same from the module, the scanner and the JSON lines")
EOF

log "the command line under qemu-user"
for command in "summary sample_db" "dump sample_db" "dump sample_db --format csv"; do
    # shellcheck disable=SC2086  # the words of the command
    theirs=$(in_root sh -c 'cd "$1" && shift && venv/bin/tarnwick "$@"' sh "$smoke" $command)
    # shellcheck disable=SC2086
    ours=$(cd "$ROOTFS$smoke" && "$PY" -m tarnwick $command)
    [[ $theirs == "$ours" ]] || { echo "tarnwick $command: the arm64 wheel prints otherwise" >&2; exit 1; }
    echo "tarnwick $command: the same $(wc -l <<<"$theirs") lines"
done
log "the aarch64 wheel works in arm64 Debian (under qemu-user)"
