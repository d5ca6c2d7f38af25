#!/usr/bin/env bash
# Runs every benchmark of a build directory. Usage: run-benchmarks.sh BUILD_DIR
set -euo pipefail
for benchmark in "$1"/bin/*_benchmark; do
  echo "== $(basename "$benchmark")"
  "$benchmark"
done
