#!/usr/bin/env bash
# Runs a GoogleTest program as one process per core, each taking its share of
# the tests (GoogleTest's own sharding), and fails when any share fails,
# showing that share's output.
#
#   scripts/run_gtest_shards.sh PROGRAM
#
# ctest, by contrast, starts the program once per test: with some seven hundred
# tests, starting an instrumented program that often (mapping the sanitizers'
# shadow memory, registering every test) costs a minute or two of a CI run, while
# the tests themselves take seconds. Each test makes its own temporary directory,
# and the tests that use up file descriptors or memory on purpose give them back,
# so they share a process safely; `ctest` still runs them one by one.
set -euo pipefail
program=$1
shards=$(nproc)
logs=$(mktemp -d "${TMPDIR:-/tmp}/gtest-shards.XXXXXX")
trap 'rm -rf "$logs"' EXIT

pids=()
for ((i = 0; i < shards; i++)); do
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i "$program" --gtest_brief=1 >"$logs/$i" 2>&1 &
    pids+=($!)
done
failed=0
for ((i = 0; i < shards; i++)); do
    if ! wait "${pids[i]}"; then
        failed=1
        echo "--- share $((i + 1)) of $shards of $(basename "$program") failed:" >&2
        cat "$logs/$i" >&2
    fi
done
# Each share ends with GoogleTest's count, "[==========] N tests from M test suites ran."
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$logs"/* | awk '{ n += $1 } END { print n + 0 }')
((failed == 0)) || exit 1
echo "$(basename "$program"): all $ran tests passed, in $shards processes"
