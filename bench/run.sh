#!/usr/bin/env bash
# Benchmarks of the reader against the LevelDB engine. Run through `./dev bench`,
# which installs the module into .venv first.
#
#   bench/run.sh            build, make the data sets once, measure, print the
#                           table and write it to bench/results.md
#   bench/run.sh profile    where the reader's time goes: callgrind (or perf,
#                           where hardware counters work) on small data sets,
#                           and a perf time profile of the full ones; summary
#                           in bench/profile.md
#   bench/run.sh chromium   the Chromium section alone: `tarnwick chromium`
#                           beside `tarnwick dump` on bulk profiles written by
#                           headless Chromium (made once), written into
#                           bench/results.md
#
# Environment:
#   TARNWICK_BENCH_DATA    where the data sets are cached (default /var/tmp/tarnwick-bench)
#   TARNWICK_BENCH_SHAPES  comma-separated shapes (default a,a_quarter,b,c,d)
#   TARNWICK_BENCH_REPS    repetitions per measurement (default 5; plyvel: 3)
#   TARNWICK_BENCH_CHROMIUM            0 leaves the Chromium section out
#   TARNWICK_BENCH_CHROMIUM_SCALES     its profiles' scales (default 1,10)
#   TARNWICK_BENCH_CHROMIUM_REPS       its repetitions (default 3)
#   TARNWICK_BENCH_CHROMIUM_TIMEOUT    seconds after which one of its commands
#                                      is stopped and reported so (default 1800)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=$ROOT/.venv/bin/python
[[ -x $PY ]] || PY=python3
DATA=${TARNWICK_BENCH_DATA:-/var/tmp/tarnwick-bench}
BUILD=$ROOT/build/bench
SHAPES=${TARNWICK_BENCH_SHAPES:-a,a_quarter,b,c,d}
REPS=${TARNWICK_BENCH_REPS:-5}
ENGINE_REPS=${TARNWICK_BENCH_ENGINE_REPS:-3}
CHROMIUM_BROWSER=chromium-headless-shell

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

apt_updated=0
ensure_debian_packages() {
    local missing=()
    for package in "$@"; do
        # No pipe into a reader that stops at the first match (grep -q): under
        # pipefail the writer's SIGPIPE would turn an installed package into a
        # missing one whenever the reader happened to exit first.
        [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *"ok installed" ]] || missing+=("$package")
    done
    ((${#missing[@]} == 0)) && return 0
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
        exit 1
    fi
    log "installing ${missing[*]}"
    if ((apt_updated == 0)); then
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The benchmark programs, the memory sampler and a copy of the module with
# debugging symbols (for the profiles), optimised as the installed module is.
build() {
    ensure_debian_packages libleveldb-dev libsnappy-dev
    if [[ ! -f $BUILD/build.ninja ]]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
            -DTARNWICK_BUILD_BENCH=ON -DTARNWICK_BUILD_MODULE=ON -DTARNWICK_BUILD_TESTS=OFF \
            -DPython_EXECUTABLE="$PY" >/dev/null
    fi
    log "building the benchmark programs"
    cmake --build "$BUILD" >/dev/null
}

cmd_bench() {
    build
    log "data sets in $DATA (made once)"
    "$PY" "$ROOT/bench/make_data.py" "$DATA" ${SHAPES//,/ }
    log "measuring (a few minutes; the engine from Python is the slow part)"
    "$PY" "$ROOT/bench/bench.py" --data "$DATA" --build "$BUILD" --shapes "$SHAPES" \
        --reps "$REPS" --engine-reps "$ENGINE_REPS" --out "$ROOT/bench/results.md" \
        --json "$BUILD/results.json"
    "$PY" "$ROOT/bench/stores_bench.py" --data "$DATA"   # find and export over many stores: bench/stores_results.md
    "$PY" "$ROOT/bench/dump_bench.py" --data "$DATA" --out "$ROOT/bench/dump_results.md"   # tarnwick dump: records/s and peak RSS
    cmd_chromium
}

# The Chromium section of bench/results.md. Its profiles are written by the
# browser itself, so without the browser the section is left out, saying so.
cmd_chromium() {
    if [[ ${TARNWICK_BENCH_CHROMIUM:-1} == 0 ]]; then
        log "Chromium section left out (TARNWICK_BENCH_CHROMIUM=0)"
        return 0
    fi
    if ! command -v "$CHROMIUM_BROWSER" >/dev/null; then
        log "Chromium section left out: $CHROMIUM_BROWSER is not installed (apt-get install -y $CHROMIUM_BROWSER; TARNWICK_BENCH_CHROMIUM=0 silences this)"
        return 0
    fi
    mkdir -p "$BUILD"
    log "Chromium stores: tarnwick chromium beside tarnwick dump (profiles made once by $CHROMIUM_BROWSER)"
    "$PY" "$ROOT/bench/chromium_rows.py" --data "$DATA" --scales "${TARNWICK_BENCH_CHROMIUM_SCALES:-1,10}" \
        --reps "${TARNWICK_BENCH_CHROMIUM_REPS:-3}" --timeout "${TARNWICK_BENCH_CHROMIUM_TIMEOUT:-1800}" \
        --into "$ROOT/bench/results.md" --json "$BUILD/chromium_results.json"
}

cmd_profile() {
    build
    ensure_debian_packages valgrind linux-perf
    "$PY" "$ROOT/bench/make_data.py" "$DATA" a_small c_small a c
    log "profiling (a minute or two)"
    "$PY" "$ROOT/bench/profile_reader.py" --data "$DATA" --build "$BUILD" --out "$ROOT/bench/profile.md"
}

case ${1:-} in
    "") cmd_bench ;;
    profile) cmd_profile ;;
    chromium) cmd_chromium ;;
    *)
        sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
