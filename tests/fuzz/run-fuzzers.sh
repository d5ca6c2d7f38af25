#!/usr/bin/env bash
# Runs every fuzz target of a build directory for a number of seconds each,
# starting from the seed corpus in tests/fuzz/corpus/<target>. New inputs go
# to BUILD_DIR/corpus/<target>, crashes to BUILD_DIR/crashes/; the first
# crash fails the run.
#   run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1 seconds=$2
seeds="$(dirname "$0")/corpus"

# Longest input per target. The IO structure target stays short for now:
# error messages show the offending value by rendering it recursively, which
# exhausts the stack on documents nested tens of thousands of levels deep.
declare -A max_len=(
  [fuzz_io_structure]=4096
  [fuzz_translate]=1100000
  [fuzz_rule_file_name]=4096
)

for target in "${!max_len[@]}"; do
  echo "== $target (${seconds}s)"
  mkdir -p "$build/corpus/$target" "$build/crashes"
  "$build/bin/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" \
    "$build/corpus/$target" "$seeds/$target"
done
