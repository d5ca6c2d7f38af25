# shellcheck shell=bash
# shellcheck disable=SC2016  # dpkg's format: ${Field}
# shellcheck disable=SC2154  # example_rule: set by the includer
# The lifecycle checks of the Debian package under a real systemd, shared by
# make test-systemd (a container) and make test-vm (an emulated machine).
# Sourced; the includer defines in_ct (runs a command as the system's root
# would, from a clean environment), sets example_rule (this machine's copy of
# examples/rules/kitchen-light.js) and has copied the package, the upgrade,
# sandbox-probe.sh, io-structure.json and kitchen-light.js to
# /opt/rules-preprocessor-test in the system under test. LIFECYCLE_TIME_FACTOR
# stretches every wait, for a slow (emulated) system; LIFECYCLE_LEAVE_OUT names
# checks (their functions) not to run, LIFECYCLE_LEAVE_OUT_WHY says why.

unit=rules-preprocessor.service
time_factor=${LIFECYCLE_TIME_FACTOR:-1}

passed=0 failed=0 skipped=0
check() {
  local name=$1; shift
  local output start=$SECONDS
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $name ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    echo "FAIL $name ($((SECONDS - start)) s)"
    printf '%s\n' "$output" | sed 's/^/     /'
  fi
}
skip() {
  skipped=$((skipped + 1))
  echo "skip $1: $2"
}

# apt-get in the container; its output only when it fails.
apt_ct() {
  local out
  out=$(in_ct apt-get -y -q "$@" 2>&1) || { echo "$out" | tail -n 5; fail "apt-get $1 failed"; }
}
# Waits up to SECONDS for COMMAND to succeed.
wait_for() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds * time_factor))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
property() { in_ct systemctl show -p "$1" --value "$unit"; }
# The whole seconds of a time span as systemctl shows it ("1min 30s").
seconds() { in_ct systemd-analyze timespan "$1" | awk '$1 == "μs:" { print int($2 / 1000000) }'; }
main_pid() { property MainPID; }
# Whether the service is active with a main process other than PID (state and
# process read at once: between two reads it may have died).
running_again() {
  local now pid
  now=$(in_ct systemctl show -p ActiveState -p MainPID "$unit")
  pid=$(echo "$now" | sed -n 's/^MainPID=//p')
  echo "$now" | grep -qx ActiveState=active && [ "$pid" != 0 ] && [ "$pid" != "$1" ]
}
is_active() { running_again none; }
# Ends the check (each runs in a subshell of its own) as failed.
fail() { echo "$*"; exit 1; }
# The retained value of a topic of the container's broker.
retained() { in_ct mosquitto_sub -t "$1" -C 1 -W 3 2>/dev/null; }
state_is() { [ "$(retained /tl/bridge/rules/state)" = "$1" ]; }
# The CRC-32 of a file, as zlib computes it (gzip's trailer holds it).
crc32() { gzip -c < "$1" | tail -c 8 | head -c 4 | od -An -tu4 | tr -d ' '; }

check_installs_and_runs() {
  # Another program's logs in the shared /var/log/p7 keep their owner and mode.
  in_ct sh -c 'mkdir -p /var/log/p7/other && chown root:adm /var/log/p7 &&
               chmod 2775 /var/log/p7 && echo log > /var/log/p7/other/other.log &&
               chown -R daemon:adm /var/log/p7/other'
  apt_ct install "/opt/rules-preprocessor-test/$(basename "$package")"
  [ "$(in_ct systemctl is-enabled "$unit")" = enabled ] || fail "not enabled"
  wait_for 20 is_active || fail "not active: $(property ActiveState)"
  wait_for 10 state_is waiting ||
    fail "state is '$(retained /tl/bridge/rules/state)', not waiting"
  local shared
  shared=$(in_ct stat -c '%U:%G %a' /var/log/p7 /var/log/p7/other /var/log/p7/other/other.log | paste -sd' ')
  [ "$shared" = "root:adm 2775 daemon:adm 755 daemon:adm 644" ] ||
    fail "/var/log/p7 changed: $shared"
  in_ct sh -c 'ls /var/log/p7/rules-preprocessor/trace_*' >/dev/null || fail "no trace log"
}

check_installs_a_rule() {
  in_ct rules-push --configuration /opt/rules-preprocessor-test/io-structure.json || fail "configuration not accepted"
  local out
  out=$(in_ct rules-push /opt/rules-preprocessor-test/kitchen-light.js) || fail "$out"
  echo "$out" | grep -qx "kitchen-light: installed" || fail "$out"
  in_ct sh -c 'ls /etc/wb-rules/kitchen-light-__*__.js' >/dev/null || fail "no rule file"
  local status
  status=$(retained /tl/bridge/rules/status/kitchen-light)
  [ "$status" = "$(crc32 "$example_rule")" ] ||
    fail "status '$status' is not the rule's CRC-32"
}

check_restarts_after_kill() {
  local pid
  pid=$(main_pid)
  in_ct kill -KILL "$pid"
  wait_for 15 running_again "$pid" || fail "not running again: $(property ActiveState), pid $(main_pid)"
}

check_stops_cleanly() {
  in_ct systemctl stop "$unit"
  local state
  state="$(property ActiveState) $(property Result) $(property ExecMainStatus)"
  [ "$state" = "inactive success 0" ] || fail "stopped as: $state (state, result, exit status)"
  [ "$(retained /tl/bridge/rules/state)" = offline ] || fail "no offline state"
  in_ct systemctl start "$unit"
  wait_for 20 is_active || fail "does not start again"
}

# A copy of the installed unit with the probe as its command: the very sandbox
# of the service. Only the three directories of the service may be writable.
check_sandbox() {
  in_ct systemctl stop "$unit"
  in_ct sed -e 's|^ExecStart=.*|ExecStart=/bin/sh /opt/rules-preprocessor-test/sandbox-probe.sh|' \
    -e 's|^Type=.*|Type=oneshot|' -e 's|^Restart=.*|Restart=no|' \
    -e 's|^\[Service\]|[Service]\nStandardOutput=truncate:/run/sandbox-probe.out|' \
    "/lib/systemd/system/$unit" |
    in_ct sh -c 'cat > /run/systemd/system/rules-preprocessor-sandbox-probe.service'
  in_ct systemctl daemon-reload
  in_ct systemctl start rules-preprocessor-sandbox-probe.service || fail "probe did not run"
  local report allowed='^writable (/etc/wb-rules|/var/log/p7/rules-preprocessor|/var/lib/rules-preprocessor)(/|$)'
  report=$(in_ct cat /run/sandbox-probe.out)
  in_ct rm /run/systemd/system/rules-preprocessor-sandbox-probe.service /run/sandbox-probe.out
  in_ct systemctl daemon-reload
  in_ct systemctl start "$unit"
  echo "$report" | grep -qx "probe done" || fail "the probe did not finish: $report"
  local dir problems outside
  problems=$(for dir in /etc/wb-rules /var/log/p7/rules-preprocessor /var/lib/rules-preprocessor; do
               echo "$report" | grep -qx "writable $dir" || echo "not writable: $dir"
             done)
  outside=$(echo "$report" | grep '^writable ' | grep -Ev "$allowed" || true)
  [ -z "$problems$outside" ] || fail "$problems${problems:+$'\n'}$outside"
  wait_for 20 is_active || fail "does not start again"
}

check_leaves_a_disabled_broker_off() {
  in_ct systemctl disable --now --quiet mosquitto.service
  in_ct systemctl restart "$unit"
  wait_for 20 is_active || fail "does not start without a broker"
  sleep 1
  local broker
  broker=$(in_ct systemctl is-active mosquitto.service || true)
  in_ct systemctl enable --now --quiet mosquitto.service
  [ "$broker" = inactive ] || fail "the disabled broker was started: $broker"
}

# Runs once the unit has a watchdog (Type=notify with WatchdogSec=).
check_watchdog_restarts_a_hung_service() {
  local pid
  pid=$(main_pid)
  in_ct kill -STOP "$pid"
  local limit=$(( $(seconds "$(property WatchdogUSec)") + $(seconds "$(property TimeoutAbortUSec)") + 15 ))
  wait_for "$limit" running_again "$pid" || fail "not restarted within $limit s: $(property ActiveState)"
}

check_remove_then_install() {
  apt_ct remove rules-preprocessor
  [ "$(property ActiveState)" = inactive ] || fail "still $(property ActiveState) after remove"
  apt_ct install "/opt/rules-preprocessor-test/$(basename "$package")"
  local enabled
  enabled=$(in_ct systemctl is-enabled "$unit" || true)
  [ "$enabled" = enabled ] || fail "$enabled after installing again"
  wait_for 20 is_active || fail "not active after installing again: $(property ActiveState)"
  in_ct sh -c 'ls /etc/wb-rules/kitchen-light-__*__.js' >/dev/null || fail "the rule is gone"
}

check_upgrades() {
  local new=$1 old_version new_version pid
  old_version=$(in_ct dpkg-query -W -f '${Version}' rules-preprocessor)
  new_version=$(dpkg-deb -f "$new" Version)
  dpkg --compare-versions "$new_version" gt "$old_version" ||
    fail "the newer build's version $new_version is not greater than $old_version"
  pid=$(main_pid)
  apt_ct install "/opt/rules-preprocessor-test/$(basename "$new")"
  [ "$(in_ct dpkg-query -W -f '${Version}' rules-preprocessor)" = "$new_version" ] ||
    fail "$new_version not installed"
  wait_for 20 running_again "$pid" || fail "not restarted: $(property ActiveState)"
  # The running process executes the file that the new package installed.
  local exe installed
  exe=$(in_ct stat -L -c %i "/proc/$(main_pid)/exe")
  installed=$(in_ct stat -c %i /usr/bin/rules-preprocessor)
  [ "$exe" = "$installed" ] || fail "the service runs another binary than /usr/bin/rules-preprocessor"
  # It answers (after the restart it needs the IO structure again).
  local out
  out=$(in_ct rules-push --configuration /opt/rules-preprocessor-test/io-structure.json \
          /opt/rules-preprocessor-test/kitchen-light.js) || fail "$out"
  echo "$out" | grep -qx "kitchen-light: unchanged" || fail "$out"
}

check_purges() {
  apt_ct purge rules-preprocessor
  in_ct sh -c '! pgrep -f "^rules-preprocessor"' || fail "still running"
  local left
  left=$(in_ct sh -c 'ls -d /lib/systemd/system/rules-preprocessor.service \
    /etc/systemd/system/rules-preprocessor.service \
    /etc/systemd/system/*/rules-preprocessor.service \
    /var/lib/systemd/deb-systemd-helper-enabled/rules-preprocessor.service \
    /var/lib/systemd/deb-systemd-helper-enabled/*/rules-preprocessor.service \
    /var/lib/systemd/deb-systemd-helper-masked/rules-preprocessor.service \
    /var/lib/rules-preprocessor 2>/dev/null' || true)
  [ -z "$left" ] || fail "left behind: $left"
  in_ct sh -c 'ls /etc/wb-rules/kitchen-light-__*__.js' >/dev/null || fail "the installed rule is gone"
}

# Runs every check: PACKAGE is the package under test, UPGRADE the build from
# newer source. Prints a line per check; the counts are in passed, failed and
# skipped.
run_lifecycle_checks() {
  local package=$1 upgrade=$2
  check "installs, enabled and active; /var/log/p7 untouched" check_installs_and_runs
  check "installs a rule through the local broker" check_installs_a_rule
  check "restarts after kill -9" check_restarts_after_kill
  check "stops cleanly" check_stops_cleanly
  check "sandbox: writable only /etc/wb-rules and its own log and state directories" check_sandbox
  check_unless_left_out "leaves a disabled broker off" check_leaves_a_disabled_broker_off
  if [ "$(seconds "$(property WatchdogUSec)")" != 0 ]; then
    check "restarts a stopped (hung) service by its watchdog" check_watchdog_restarts_a_hung_service
  else
    skip "watchdog" "the unit has no watchdog (Type=$(property Type), WatchdogSec unset)"
  fi
  check_unless_left_out "remove, then install: enabled and active again" check_remove_then_install
  check "upgrades to a build from newer source, which runs" check_upgrades "$upgrade"
  check "purge removes the unit, its state and its enablement" check_purges
}

check_unless_left_out() {
  if [[ " ${LIFECYCLE_LEAVE_OUT:-} " == *" $2 "* ]]; then
    skip "$1" "${LIFECYCLE_LEAVE_OUT_WHY:-left out}"
  else
    check "$@"
  fi
}
