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

# shellcheck source=tests/packaging/upgrade-package.sh
. "$source_dir/tests/packaging/upgrade-package.sh"

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

example_rule=$source_dir/examples/rules/kitchen-light.js
# shellcheck source=tests/packaging/lifecycle-checks.sh
. "$source_dir/tests/packaging/lifecycle-checks.sh"

# --- the run ------------------------------------------------------------------

say "package $(basename "$package")"
root=$(cached_root)
say "root file system ready: $((SECONDS - started)) s"
# shellcheck disable=SC2119  # a native build: no arguments for cmake
upgrade=$(upgrade_package)
say "upgrade $(basename "$upgrade") ready: $((SECONDS - started)) s"
boot_container "$root"
copy_in "$package" "$upgrade" "$source_dir/tests/packaging/sandbox-probe.sh" \
  "$source_dir/examples/io-structure.json" "$source_dir/examples/rules/kitchen-light.js"
say "container booted: $((SECONDS - started)) s"

run_lifecycle_checks "$package" "$upgrade"

say "took $((SECONDS - started)) s"
echo "test-systemd: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
