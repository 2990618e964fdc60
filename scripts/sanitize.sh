#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer:
# the C++ unit tests (ctest) and the Python tests (pytest) against an
# instrumented build of the _tarnwick extension module.
#
#   scripts/sanitize.sh [PYTEST ARGS...]      (through ./dev sanitize)
#   scripts/sanitize.sh --cpp-only            (through ./dev test-sanitize: the C++ part alone)
#
# The C++ tests are built in the instrumented tree that the fuzz targets share
# (scripts/sanitized_tree.sh: clang++-19, -O1, line tables), and run one
# process per core (scripts/run_gtest_shards.sh). The module is built with g++,
# the compiler of the ordinary build, whose ASan runtime is preloaded into the
# interpreter, with CMake alone, in build/sanitize/module, and installed (module
# and type stubs, as the wheel lays them out) into build/sanitize/site, which
# PYTHONPATH puts first; the interpreter itself is not instrumented. CPython
# leaves memory behind at exit by design, so leak detection is off for the
# Python run (it stays on for the C++ tests). Any report stops the run with a
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PY:-$ROOT/.venv/bin/python}
BUILD=$ROOT/build/sanitize
MODULE_CXX=${CXX:-g++}
source "$ROOT/scripts/sanitized_tree.sh"

cpp_only=0
if [[ ${1:-} == --cpp-only ]]; then
    cpp_only=1
    shift
fi

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }
started=$SECONDS

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
common_asan=halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1

log "building the C++ tests with -fsanitize=address,undefined in $SANITIZED_TREE"
build_sanitized_tree tarnwick_tests

log "C++ tests (ASan with leak detection, UBSan)"
ASAN_OPTIONS=$common_asan:detect_leaks=1:abort_on_error=0 \
    "$ROOT/scripts/run_gtest_shards.sh" "$SANITIZED_TREE/tests/cpp/tarnwick_tests"
cpp_done=$SECONDS
if ((cpp_only)); then
    log "sanitized C++ run passed in $((cpp_done - started)) s (build included)"
    exit 0
fi

log "building the _tarnwick module with -fsanitize=address,undefined in $BUILD/module"
configure_sanitized "$BUILD/module" "$MODULE_CXX" -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_MODULE=ON -DPython_EXECUTABLE="$PY"
cmake --build "$BUILD/module" >"$BUILD/module.log" 2>&1 || { cat "$BUILD/module.log" >&2; exit 1; }
rm -rf "$BUILD/site"
cmake --install "$BUILD/module" --component python --prefix "$BUILD/site" >/dev/null

asan_runtime=$("$MODULE_CXX" -print-file-name=libasan.so)
[[ -f $asan_runtime ]] || { echo "no ASan runtime found for $MODULE_CXX" >&2; exit 1; }
# The C++ runtime is preloaded after it: ASan looks up the functions it
# intercepts when it starts, and the interpreter does not link the C++
# runtime, so without it ASan finds no __cxa_throw to pass a C++ exception on
# to, and the first exception thrown in a module (pyarrow's, on a full disk)
# ends the process with "CHECK failed ... real___cxa_throw".
cxx_runtime=$("$MODULE_CXX" -print-file-name=libstdc++.so.6)
[[ -f $cxx_runtime ]] || { echo "no C++ runtime found for $MODULE_CXX" >&2; exit 1; }
export LD_PRELOAD=$asan_runtime:$cxx_runtime
# A report ends the interpreter: with abort_on_error the sanitizer ends it
# with SIGABRT rather than a plain exit, so that Python's fault handler (which
# pytest turns on) prints the Python stack, and with it the test that ran.
export ASAN_OPTIONS=$common_asan:detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=$UBSAN_OPTIONS:abort_on_error=1
export PYTHONPATH=$BUILD/site:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}
export PYTHONMALLOC=malloc  # every Python allocation through ASan's allocator

loaded=$("$PY" -c 'import _tarnwick; print(_tarnwick.__file__)')
[[ $loaded == "$BUILD/site/"* ]] || { echo "the sanitized module was not the one loaded: $loaded" >&2; exit 1; }

log "Python tests against the sanitized module ($loaded)"
"$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/python" "$@"
python_done=$SECONDS

log "sanitized run passed: C++ $((cpp_done - started)) s, Python $((python_done - cpp_done)) s, total $((python_done - started)) s (builds included)"
