#!/usr/bin/env bash
# A bounded, repeatable run of one fuzz target: a fixed number of executions from a fixed seed,
# starting from its committed corpus. The corpus folder is only read (new inputs go to a temporary
# folder that is removed afterwards); an input that breaks a property or trips a sanitizer is kept
# in fuzz-artifacts/ under the current folder, and the run fails.
#   run_bounded.sh FUZZER CORPUS_DIR RUNS [more libFuzzer options]
set -euo pipefail
fuzzer=$1
corpus=$2
runs=$3
shift 3

[ -d "$corpus" ] && [ -n "$(ls -A "$corpus")" ] || { echo "no seed corpus in $corpus" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts=$PWD/fuzz-artifacts/$(basename "$fuzzer")
mkdir -p "$artifacts"

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# Slow inputs (the reply reader's streams past its 64 KiB cap) are picked less often, in proportion
# to their time: otherwise they take most of the run for little new coverage.
"$fuzzer" -runs="$runs" -seed=1 -max_len=4096 -timeout=60 -rss_limit_mb=2048 \
    -entropic_scale_per_exec_time=1 -artifact_prefix="$artifacts/" -print_final_stats=1 \
    "$@" "$scratch" "$corpus"
