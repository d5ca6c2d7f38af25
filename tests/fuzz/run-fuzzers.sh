#!/usr/bin/env bash
# Runs every fuzz target of a build directory for a number of seconds each,
# starting from the seed corpus in tests/fuzz/corpus/<target>. New inputs go
# to BUILD_DIR/corpus/<target>, crashes to BUILD_DIR/crashes/; the first
# crash fails the run.
#   run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1 seconds=$2
seeds="$(dirname "$0")/corpus"

# Longest input the fuzzer makes; longer seeds are cut to it. Short inputs
# keep thousands of runs a second; the seeds' full size is covered by
# running each seed once as it is first.
declare -A max_len=(
  [fuzz_io_structure]=4096
  [fuzz_translate]=65536
  [fuzz_rule_file_name]=4096
  [fuzz_syntax_check]=4096
  [fuzz_signature_line]=4096
)
# Targets whose seeds are only run cut to max_len (none at present).
declare -A cut_seeds_only=()

for target in "${!max_len[@]}"; do
  echo "== $target (${seconds}s)"
  mkdir -p "$build/corpus/$target" "$build/crashes"
  if [ -z "${cut_seeds_only[$target]:-}" ]; then
    "$build/bin/$target" "$seeds/$target"/*
  fi
  "$build/bin/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" \
    "$build/corpus/$target" "$seeds/$target"
done
