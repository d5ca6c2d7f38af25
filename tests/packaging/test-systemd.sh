#!/usr/bin/env bash
# shellcheck disable=SC2016  # apt's and dpkg's formats: $(FIELD), ${Field}
# The Debian package under a real systemd, as an integrator installs it: boots
# Debian 12 in a container (systemd-nspawn, systemd as PID 1, a private network
# with the local mosquitto) and checks install, a rule through the broker,
# restart after kill -9, a clean stop, the sandbox, a disabled broker staying
# off, remove then install, an upgrade to a build from newer source and purge;
# the watchdog too once the unit has one. Needs root.
#
#   test-systemd.sh BUILD_DIR
#
# BUILD_DIR holds the package (make deb). The container's root file system is
# made once with debootstrap from the Debian archive that apt uses here and
# kept in $TEST_SYSTEMD_CACHE (default /var/cache/rules-preprocessor-test-systemd)
# with the upgrade's package; each run boots an overlay of it and leaves the
# cached root unchanged. Exit status 0 when every check passed, 77 when the
# test cannot run here (except under CI=true, where that fails).
set -euo pipefail
shopt -s inherit_errexit

build_dir=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/../..")
cache=${TEST_SYSTEMD_CACHE:-/var/cache/rules-preprocessor-test-systemd}
suite=bookworm
unit=rules-preprocessor.service
started=$SECONDS

say() { echo "test-systemd: $*"; }
cannot_run() {
  say "cannot run: $*"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}

[ "$(id -u)" -eq 0 ] || cannot_run "needs root (systemd-nspawn)"
git -C "$source_dir" rev-parse --verify -q HEAD >/dev/null ||
  cannot_run "needs the source's git history (the upgrade is a build of a newer commit)"
for tool in systemd-nspawn debootstrap nsenter; do
  command -v "$tool" >/dev/null || cannot_run "$tool is missing (scripts/install-deps.sh --systemd)"
done

# The package that make deb built last.
config=$build_dir/CPackConfig.cmake
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$config")
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$config")
package=$build_dir/rules-preprocessor_${version}_${arch}.deb
[ -f "$package" ] || { say "no package $package: run make deb"; exit 1; }
[ "$arch" = "$(dpkg --print-architecture)" ] || { say "the container runs $(dpkg --print-architecture) packages, not $arch"; exit 1; }

mkdir -p "$cache"
exec 9> "$cache/lock"

# --- the cached root file system --------------------------------------------

# The Debian archive that apt uses here: the container comes from the same.
debian_mirror() {
  apt-get indextargets --format '$(ORIGIN) $(LABEL) $(REPO_URI)' 'Identifier: Packages' |
    awk '$1 == "Debian" && $2 == "Debian" { print $3; exit }'
}

# Prints the root file system for the package's dependencies, making it first
# when it is missing: Debian 12 with systemd, mosquitto and everything the
# package needs, so that installing it needs no network.
cached_root() {
  local depends key root mirror
  depends=$(dpkg-deb -f "$package" Depends | tr ',' '\n' |
            sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g' | grep . | sort -u | paste -sd' ')
  key=$(echo "$suite $depends" | sha256sum | cut -c1-12)
  root=$cache/root-$suite-$key
  flock 9
  if [ ! -e "$root/.complete" ]; then
    mirror=${DEBIAN_MIRROR:-$(debian_mirror)}
    [ -n "$mirror" ] || { say "no Debian archive in apt's sources; set DEBIAN_MIRROR" >&2; exit 1; }
    say "making the container's root file system in $root (debootstrap $suite)" >&2
    # Roots for other dependencies are of no more use.
    rm -rf "$cache"/root-*
    # The package's dependencies may be virtual packages: apt resolves them.
    # shellcheck disable=SC2086
    if ! { debootstrap --variant=minbase \
             --include=systemd,systemd-sysv,dbus,procps,mosquitto,mosquitto-clients \
             "$suite" "$root.new" "$mirror" &&
           systemd-nspawn --quiet --register=no --keep-unit -D "$root.new" sh -c \
             "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
                --no-install-recommends $depends && apt-get clean &&
              rm -rf /var/lib/apt/lists/*"; } > "$cache/root.log" 2>&1; then
      tail -n 20 "$cache/root.log" >&2
      exit 1
    fi
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$root.new/etc/hosts"
    touch "$root.new/.complete"
    mv "$root.new" "$root"
  fi
  flock -u 9
  echo "$root"
}

# --- the upgrade: a build from newer source ---------------------------------

# Prints the package built from the source tree as it is (tracked files and new
# ones, changes included) committed on top of its HEAD: a build from newer
# source than the package under test. Kept in the cache for the same HEAD and
# the same content.
upgrade_package() {
  local head tree dir
  head=$(git -C "$source_dir" rev-parse HEAD)
  scratch=$(mktemp -d /var/tmp/rules-preprocessor-upgrade.XXXXXX)
  # Global: the trap runs when the subshell that runs this function ends.
  trap 'rm -rf "$scratch"' EXIT
  git clone -q --shared --no-checkout "$source_dir" "$scratch/src"
  git -C "$scratch/src" checkout -q --detach "$head"
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
     xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
     tar --null -T - -cf -) | tar -xf - -C "$scratch/src"
  git -C "$scratch/src" add -A
  # What the package is built from: a change of the tests needs no new build.
  tree=$(git -C "$scratch/src" ls-tree "$(git -C "$scratch/src" write-tree)" -- \
           CMakeLists.txt cmake src packaging README.md | sha256sum)
  dir=$cache/upgrade-${head:0:12}-${tree:0:12}
  flock 9
  if [ ! -e "$dir/.complete" ]; then
    say "building the upgrade in $scratch" >&2
    git -C "$scratch/src" -c user.name=test-systemd -c user.email=test-systemd@localhost \
      commit -q --allow-empty -m "A build from newer source"
    if ! { cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
             -DRULES_PREPROCESSOR_BUILD_TESTS=OFF -DRULES_PREPROCESSOR_BUILD_BENCHMARKS=OFF &&
           cmake --build "$scratch/build" -j "$(nproc)" &&
           (cd "$scratch/build" && cpack -G DEB); } > "$cache/upgrade-build.log" 2>&1; then
      tail -n 30 "$cache/upgrade-build.log" >&2
      exit 1
    fi
    rm -rf "$cache"/upgrade-[0-9a-f]*
    mkdir -p "$dir"
    cp "$scratch"/build/rules-preprocessor_*.deb "$dir/"
    touch "$dir/.complete"
  fi
  flock -u 9
  rm -rf "$scratch"
  echo "$dir"/rules-preprocessor_*.deb
}

# --- the container ------------------------------------------------------------

run_dir="" nspawn_pid="" leader=""
stop_container() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true   # the container shuts down
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  if [ -n "$run_dir" ]; then
    umount "$run_dir/root" 2>/dev/null || true
    rm -rf "$run_dir"
  fi
}
trap stop_container EXIT
trap 'exit 130' INT TERM

# Runs a command in the container as its root would, from a clean environment.
in_ct() {
  nsenter --target "$leader" --all -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

boot_container() {
  local root=$1
  run_dir=$(mktemp -d /var/tmp/rules-preprocessor-test-systemd.XXXXXX)
  mkdir "$run_dir/upper" "$run_dir/work" "$run_dir/root"
  mount -t overlay overlay \
    -o "lowerdir=$root,upperdir=$run_dir/upper,workdir=$run_dir/work" "$run_dir/root"
  # This machine runs no systemd: no machine registration, no scope unit.
  systemd-nspawn --quiet --register=no --keep-unit --private-network --console=passive \
    --machine="rp-test-$$" -D "$run_dir/root" --boot > "$run_dir/console.log" 2>&1 < /dev/null &
  nspawn_pid=$!
  # The container's init: the child of systemd-nspawn that is PID 1 in its own
  # PID namespace (a helper child comes and goes before it).
  local child
  for _ in $(seq 100); do
    for child in $(pgrep -P "$nspawn_pid"); do
      [ "$(awk '$1 == "NSpid:" { print $NF }' "/proc/$child/status" 2>/dev/null)" = 1 ] &&
        leader=$child
    done
    [ -n "$leader" ] && break
    sleep 0.1
  done
  [ -n "$leader" ] || { cat "$run_dir/console.log"; say "the container did not start"; exit 1; }
  # systemctl answers once the container's systemd listens, --wait until it has
  # started everything.
  local state="" deadline=$((SECONDS + 120))
  while [ "$SECONDS" -lt "$deadline" ]; do
    state=$(timeout 120 nsenter --target "$leader" --all -- \
              systemctl is-system-running --wait 2>/dev/null || true)
    case "$state" in running|degraded) break ;; esac
    sleep 0.5
  done
  case "$state" in
    running) ;;
    degraded) in_ct systemctl --failed --no-pager --no-legend | sed 's/^/  failed unit: /' ;;
    *) cat "$run_dir/console.log"; say "the container did not boot: ${state:-no answer}"; exit 1 ;;
  esac
}

# Copies files from this machine into the container (/opt: the service's
# sandbox hides /tmp, /var/tmp and /root).
copy_in() {
  mkdir -p "$run_dir/root/opt/rules-preprocessor-test"
  cp "$@" "$run_dir/root/opt/rules-preprocessor-test/"
  chmod -R a+rX "$run_dir/root/opt/rules-preprocessor-test"
}

# --- checks -------------------------------------------------------------------

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
  local deadline=$((SECONDS + seconds))
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
  [ "$status" = "$(crc32 "$source_dir/examples/rules/kitchen-light.js")" ] ||
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

# --- the run ------------------------------------------------------------------

say "package $(basename "$package")"
root=$(cached_root)
say "root file system ready: $((SECONDS - started)) s"
upgrade=$(upgrade_package)
say "upgrade $(basename "$upgrade") ready: $((SECONDS - started)) s"
boot_container "$root"
copy_in "$package" "$upgrade" "$source_dir/tests/packaging/sandbox-probe.sh" \
  "$source_dir/examples/io-structure.json" "$source_dir/examples/rules/kitchen-light.js"
say "container booted: $((SECONDS - started)) s"

check "installs, enabled and active; /var/log/p7 untouched" check_installs_and_runs
check "installs a rule through the local broker" check_installs_a_rule
check "restarts after kill -9" check_restarts_after_kill
check "stops cleanly" check_stops_cleanly
check "sandbox: writable only /etc/wb-rules and its own log and state directories" check_sandbox
check "leaves a disabled broker off" check_leaves_a_disabled_broker_off
if [ "$(seconds "$(property WatchdogUSec)")" != 0 ]; then
  check "restarts a stopped (hung) service by its watchdog" check_watchdog_restarts_a_hung_service
else
  skip "watchdog" "the unit has no watchdog (Type=$(property Type), WatchdogSec unset)"
fi
check "remove, then install: enabled and active again" check_remove_then_install
check "upgrades to a build from newer source, which runs" check_upgrades "$upgrade"
check "purge removes the unit, its state and its enablement" check_purges

say "took $((SECONDS - started)) s"
echo "test-systemd: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
