#!/usr/bin/env bash
# Checks the package's systemd unit with the built binary in place of the
# installed one: systemd ignores a misspelt or invalid setting with no more
# than a warning, so any message of systemd-analyze verify fails the check,
# and so does a sandbox looser than EXPOSURE (systemd-analyze security, in
# tenths: 20 is an exposure level of 2.0).
#
#   check-unit-file.sh UNIT BINARY EXPOSURE
set -euo pipefail
unit=$1 binary=$2 exposure=$3

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze is not installed (package systemd)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
checked=$scratch/$(basename "$unit")
sed "s|/usr/bin/rules-preprocessor|$binary|g" "$unit" > "$checked"

messages=$(systemd-analyze verify "$checked" 2>&1) || { echo "$messages"; exit 1; }
if [ -n "$messages" ]; then
  echo "systemd-analyze verify $(basename "$unit"):"
  echo "$messages"
  exit 1
fi
systemd-analyze security --offline=true --no-pager --threshold="$exposure" "$checked" | tail -n 1
