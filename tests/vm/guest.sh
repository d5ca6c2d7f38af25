#!/bin/bash
# Runs inside the emulated arm64 machine of make test-vm (test-vm.sh), as the
# unit rp-vm-test once the system is up, from the run directory /mnt/run: the
# lifecycle checks of the package under systemd, the end-to-end tests and the
# power-cut proof of the arm64 build (from the source tree, mounted read-only
# at its path on the host), or with figures=1 the timings of figures.sh. Its
# output goes to the console; its last line "test-vm-guest: exit STATUS" ends
# the run, and the machine powers off.
set -uo pipefail

status=1
trap 'echo "test-vm-guest: exit $status"' EXIT
# The plan (test-vm.sh's prepare_run): source_dir, build_dir, figures,
# power_cuts, package, upgrade.
source_dir="" build_dir="" figures=0 power_cuts=100 package="" upgrade=""
# shellcheck source=/dev/null
. /mnt/run/plan
echo "test-vm-guest: start"
started=$SECONDS
say() { echo "test-vm: $*"; }

say "kernel $(uname -r) ($(uname -v)), uname -m $(uname -m), $(nproc) cores," \
  "$(awk '$1 == "MemTotal:" { print int($2 / 1024) }' /proc/meminfo) MiB"
state=$(timeout 300 systemctl is-system-running --wait 2>/dev/null)
say "system $state: $(systemd-analyze 2>/dev/null | head -n 1)"
[ "$state" = running ] ||
  systemctl --failed --no-pager --no-legend | sed 's/^/test-vm:   failed unit: /'

mkdir -p "$source_dir"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro rpsrc "$source_dir" ||
  { say "cannot mount the source tree at $source_dir"; exit; }

if [ "$figures" = 1 ]; then
  "$source_dir/tests/vm/figures.sh" "$build_dir" /mnt/run/files/io-structure.json |
    sed 's/^/emulated: /'
  status=${PIPESTATUS[0]}
  exit
fi

# --- the lifecycle checks -------------------------------------------------------

mkdir -p /opt/rules-preprocessor-test
cp /mnt/run/files/* /opt/rules-preprocessor-test/
chmod -R a+rX /opt/rules-preprocessor-test
# The checks run in this system itself, as its root.
in_ct() {
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}
example_rule=/opt/rules-preprocessor-test/kitchen-light.js
# This machine is some 40 times slower than a real one (more when the host is
# busy): the lifecycle checks wait four times longer, the test programs' hang
# guards last six times longer.
export LIFECYCLE_TIME_FACTOR=4 TEST_TIME_FACTOR=6
# Two checks of the unit's and the maintainer scripts' logic, alike on every
# architecture and kernel, cost over a minute each here: make test-systemd
# runs them.
export LIFECYCLE_LEAVE_OUT="check_leaves_a_disabled_broker_off check_remove_then_install"
export LIFECYCLE_LEAVE_OUT_WHY="the same on every architecture and kernel: make test-systemd runs it"
# shellcheck source=tests/packaging/lifecycle-checks.sh
. /opt/rules-preprocessor-test/lifecycle-checks.sh

# The sandbox probe walks every directory: the source tree is not there yet.
umount "$source_dir"
phase=$SECONDS
run_lifecycle_checks "/opt/rules-preprocessor-test/$package" "/opt/rules-preprocessor-test/$upgrade"
say "lifecycle checks: $((SECONDS - phase)) s"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro rpsrc "$source_dir" ||
  { say "cannot mount the source tree at $source_dir"; exit; }

# --- the end-to-end tests and the power-cut proof --------------------------------

private_mounts=$source_dir/tests/support/run-in-private-mounts.sh

# Prints the skipped tests of a GoogleTest output with their reasons.
skipped_tests() {
  awk '/^\[ RUN      \]/ { reason = "" }
       / Skipped$/ { getline reason }
       /^\[  SKIPPED \] [^ ]+ \(/ { print $4 ": " reason }' "$1"
}

# Runs a GoogleTest program of the build in a private mount namespace, as
# ctest does, within LIMIT seconds, with ARGS; its output and exit status go
# to /tmp/PROGRAM.out and .status.
run_gtest() {
  local program=$1 limit=$2 start=$SECONDS code=0
  shift 2
  timeout --kill-after=10 "$limit" "$private_mounts" -- "$build_dir/bin/$program" "$@" \
    > "/tmp/$program.out" 2>&1 || code=$?
  echo "$code $((SECONDS - start))" > "/tmp/$program.status"
}

# Reports a program that run_gtest ran, as KIND tests. Every test must run
# here: a skipped one fails the check.
report_gtest() {
  local program=$1 kind=${2:-end-to-end} output=/tmp/$1.out code seconds tests skips
  read -r code seconds < "/tmp/$program.status"
  tests=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran.*/\1/p' "$output")
  skips=$(skipped_tests "$output")
  if [ "$code" -eq 0 ] && [ -z "$skips" ]; then
    passed=$((passed + 1))
    echo "ok   $kind: $program, $tests tests ($seconds s)"
    return
  fi
  failed=$((failed + 1))
  echo "FAIL $kind: $program ($seconds s)"
  if [ "$code" -eq 124 ] || [ "$code" -eq 137 ]; then
    echo "     did not finish in time"
  fi
  [ -z "$skips" ] || printf 'skipped here, where every test must run: %s\n' "$skips" | sed 's/^/     /'
  grep -E -A 8 ': Failure$' "$output" | sed 's/^/     /'
  tail -n 15 "$output" | sed 's/^/     /'
}

# The service's end-to-end tests and the power-cut proof side by side: both
# mostly wait for the service. rules-push's end-to-end tests are not run here:
# it runs on the operator's machine, not the controller (make test-cross runs
# them for arm64).
phase=$SECONDS
run_gtest service_e2e_test 900 &
POWER_CUT_CUTS=$power_cuts POWER_CUT_ENFORCED=1 run_gtest power_cut_test 900 &
wait
report_gtest service_e2e_test
say "end-to-end tests: $(cut -d' ' -f2 /tmp/service_e2e_test.status) s"

cat /tmp/power_cut_test.out
read -r code seconds < /tmp/power_cut_test.status
case "$code" in
  0) passed=$((passed + 1)); echo "ok   power-cut proof, $power_cuts cuts ($seconds s)" ;;
  77) failed=$((failed + 1)); echo "FAIL power-cut proof: skipped here, where it must run" ;;
  124|137) failed=$((failed + 1)); echo "FAIL power-cut proof: did not finish within 900 s" ;;
  *) failed=$((failed + 1)); echo "FAIL power-cut proof: exit status $code" ;;
esac
say "end-to-end tests and power-cut proof: $((SECONDS - phase)) s"

# The address-space cap, which the user-mode emulator does not enforce: a rule
# too large for the memory left fails alone and the service goes on.
phase=$SECONDS
run_gtest service_units_test 300 \
  --gtest_filter=RuleBatchTest.ARuleTooLargeForTheMemoryFailsAloneAndTheServiceGoesOn
report_gtest service_units_test memory-cap
say "memory cap: $((SECONDS - phase)) s"

say "inside the machine: $((SECONDS - started)) s"
echo "test-vm: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -ne 0 ] || status=0
