#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++-19 (AddressSanitizer and
# UndefinedBehaviorSanitizer on, in the instrumented tree that the sanitized
# unit tests share: scripts/sanitized_tree.sh), seeds their corpora from
# databases that LevelDB wrote, runs each target for the given time and
# reports executions, coverage and any crash.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     (through ./dev fuzz)
#
# SECONDS is per target (default 180). TARGETs are log_reader, table_reader,
# version_edit, block, block_carver and chromium_decode (default all, one after
# another). Inputs that crash, leak or run too long land in fuzz/artifacts/; new
# corpus entries in fuzz/corpus/<target>/generated/ (both ignored by git). The
# committed seeds in fuzz/corpus/<target>/ are copied in first. Runs with `nice`,
# one target at a time (FUZZ_JOBS=N runs N at once): the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PY:-$ROOT/.venv/bin/python}
source "$ROOT/scripts/sanitized_tree.sh"
BUILD=$SANITIZED_TREE
ALL_TARGETS=(log_reader table_reader version_edit block block_carver chromium_decode)

seconds=180
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
targets=("$@")
((${#targets[@]} > 0)) || targets=("${ALL_TARGETS[@]}")
for target in "${targets[@]}"; do
    [[ " ${ALL_TARGETS[*]} " == *" $target "* ]] || { echo "unknown target: $target (one of: ${ALL_TARGETS[*]})" >&2; exit 2; }
done

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

log "building the fuzz targets in $BUILD"
build_sanitized_tree fuzzers

# Seeds from real databases, made when a generated corpus is missing (the same
# files every time).
missing=0
for target in "${ALL_TARGETS[@]}"; do
    [[ -d $ROOT/fuzz/corpus/$target/generated ]] || missing=1
done
if ((missing)); then
    log "writing seed databases with LevelDB"
    work=$(mktemp -d)
    "$PY" "$ROOT/fuzz/make_corpus.py" "$work" >/dev/null
    for target in "${ALL_TARGETS[@]}"; do
        mkdir -p "$ROOT/fuzz/corpus/$target/generated"
        cp -n "$work/$target"/* "$ROOT/fuzz/corpus/$target/generated/" 2>/dev/null || true
    done
    rm -rf "$work"
fi

# Each target reads at most this many bytes per input: enough for a log to
# span several 32 KiB blocks, for tables and blocks of a few KiB each, and
# for carving to cross several blocks and the damage between them.
declare -A MAX_LEN=([log_reader]=100000 [table_reader]=16384 [version_edit]=4096 [block]=16384 [block_carver]=65536 [chromium_decode]=16384)

# How many targets run at once (FUZZ_JOBS, default 1): each target is one
# process on one core, so a short run on an otherwise idle machine (the CI
# smoke) runs one per core, while long runs on a shared machine keep to one.
jobs=${FUZZ_JOBS:-1}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_JOBS must be a positive number, not '$jobs'" >&2; exit 2; }

# Runs one target; its output goes to fuzz/artifacts/TARGET.log and its exit
# status to TARGET.status, read back for the summary once every target is done.
fuzz_target() {
    local target=$1 corpus=$ROOT/fuzz/corpus/$1/generated output=$ROOT/fuzz/artifacts/$1.log status=0
    # A single allocation above 64 MB from an input of at most 100 KB is a
    # fault in itself (an unchecked length claim), as is an input that takes
    # more than 10 s.
    nice -n 10 "$BUILD/fuzz/fuzz_$target" "$corpus" \
        -max_total_time="$seconds" -max_len="${MAX_LEN[$target]}" -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 \
        -artifact_prefix="$ROOT/fuzz/artifacts/$target-" >"$output" 2>&1 || status=$?
    echo "$status" >"$ROOT/fuzz/artifacts/$target.status"
}

mkdir -p "$ROOT/fuzz/artifacts"
running=0
for target in "${targets[@]}"; do
    corpus=$ROOT/fuzz/corpus/$target/generated
    mkdir -p "$corpus"
    find "$ROOT/fuzz/corpus/$target" -maxdepth 1 -type f -exec cp -n {} "$corpus/" \;
    rm -f "$ROOT/fuzz/artifacts/$target.status"
    if ((running == jobs)); then
        wait -n
        running=$((running - 1))
    fi
    log "fuzzing $target for ${seconds}s (log: fuzz/artifacts/$target.log)"
    fuzz_target "$target" &
    running=$((running + 1))
done
wait

summary=()
failed=0
for target in "${targets[@]}"; do
    output=$ROOT/fuzz/artifacts/$target.log
    status=$(cat "$ROOT/fuzz/artifacts/$target.status" 2>/dev/null || echo 255)
    # grep finds nothing in the log of a target that failed at once, and under
    # pipefail that would end the script before it reports the failure.
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$output" | tail -1)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$output" | tail -1 || true)
    per_second=$(grep -oE 'exec/s: [0-9]+' "$output" | tail -1 || true)
    if ((status != 0)); then
        failed=1
        grep -E 'ERROR|check failed|SUMMARY|Test unit written' "$output" >&2 || tail -20 "$output" >&2
        summary+=("$(printf '%-13s FAILED (status %d) after %s executions; see %s' "$target" "$status" "${executions:-?}" "${output#"$ROOT"/}")")
    else
        summary+=("$(printf '%-13s %10s executions in %ss, %s, %s' "$target" "${executions:-?}" "$seconds" "${per_second:-?}" "${coverage:-?}")")
    fi
done

log "summary (cov: coverage points, ft: features, corp: corpus inputs)"
printf '%s\n' "${summary[@]}"
exit $failed
