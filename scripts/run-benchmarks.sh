#!/usr/bin/env bash
# Runs every benchmark of a build directory, fleet_benchmark among them.
# Usage: run-benchmarks.sh BUILD_DIR
# A benchmark that fails does not stop the others; the script then ends with
# status 1, naming each that failed.
set -uo pipefail
failed=()
for benchmark in "$1"/bin/*_benchmark; do
  echo "== $(basename "$benchmark")"
  "$benchmark" || failed+=("$(basename "$benchmark")")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "run-benchmarks: failed: ${failed[*]}" >&2
  exit 1
fi
