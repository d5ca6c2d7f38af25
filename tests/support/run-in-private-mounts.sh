#!/usr/bin/env bash
# Runs a program in a private mount namespace in which the service's fixed
# directories /etc/wb-rules, /var/log/p7 and /var/lib/rules-preprocessor are
# bind mounts of other directories, so that tests never touch the machine's
# own.
#
#   run-in-private-mounts.sh --rules DIR --logs DIR [--state DIR] [--argv0 NAME] -- PROGRAM [ARGS...]
#       execs PROGRAM (same process id as this script) with argv[0] NAME; without
#       --state, the state directory is an empty tmpfs.
#   run-in-private-mounts.sh -- PROGRAM [ARGS...]
#       uses fresh temporary directories, removed when PROGRAM ends.
#
# As root it uses unshare --mount; as a normal user a user namespace in which
# the user is root (unshare --user --map-root-user --mount). Missing mount
# points are then made inside the namespace only, on an overlay of their
# parent directory. Where neither namespace is permitted, PROGRAM runs as it
# is, and the tests that need the namespace skip themselves.
#
# RUN_IN_PRIVATE_MOUNTS_EMULATOR, when set, is the user-mode emulator (qemu)
# that runs PROGRAM, for binaries built for another architecture.
set -euo pipefail

rules_dir="" logs_dir="" state_dir="" argv0="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --rules) rules_dir=$2; shift 2 ;;
    --logs) logs_dir=$2; shift 2 ;;
    --state) state_dir=$2; shift 2 ;;
    --argv0) argv0=$2; shift 2 ;;
    --inside) inside=1; shift ;;
    --) shift; break ;;
    *) echo "run-in-private-mounts: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -ge 1 ] || { echo "run-in-private-mounts: no program given" >&2; exit 2; }
program=$1; shift
[ -n "$argv0" ] || argv0=$program
emulator=${RUN_IN_PRIVATE_MOUNTS_EMULATOR:-}

run_program() {
  if [ -n "$emulator" ]; then
    exec "$emulator" -0 "$argv0" "$program" "$@"
  fi
  exec -a "$argv0" "$program" "$@"
}

# Makes the directory DIR visible in this namespace only: its parent gets an
# overlay whose upper layer is a tmpfs, detached again once mounted so that
# nothing remains outside when the namespace ends.
make_private_mount_point() {
  local dir=$1 parent layers
  parent=$(dirname "$dir")
  layers=$(mktemp -d /tmp/private-mounts-layers.XXXXXX)
  mount -t tmpfs tmpfs "$layers"
  mkdir "$layers/upper" "$layers/work"
  mount -t overlay overlay \
    -o "lowerdir=$parent,upperdir=$layers/upper,workdir=$layers/work" "$parent"
  umount -l "$layers"
  rmdir "$layers"
  mkdir "$dir"
}

if [ "$inside" -eq 1 ]; then
  for dir in /etc/wb-rules /var/log/p7 /var/lib/rules-preprocessor; do
    [ -d "$dir" ] || mkdir -p "$dir" 2>/dev/null || make_private_mount_point "$dir"
  done
  mount --bind "$rules_dir" /etc/wb-rules
  mount --bind "$logs_dir" /var/log/p7
  if [ -n "$state_dir" ]; then
    mount --bind "$state_dir" /var/lib/rules-preprocessor
  else
    mount -t tmpfs tmpfs /var/lib/rules-preprocessor
  fi
  run_program "$@"
fi

if unshare --mount true 2>/dev/null; then
  namespace=(unshare --mount --propagation private)
  # Bind mounts need their mount points; on a controller they exist anyway.
  mkdir -p /etc/wb-rules /var/log/p7 /var/lib/rules-preprocessor
elif unshare --user --map-root-user --mount true 2>/dev/null; then
  namespace=(unshare --user --map-root-user --mount --propagation private)
else
  echo "run-in-private-mounts: neither unshare --mount nor an unprivileged user" \
       "namespace is permitted here; running $program without private mounts" >&2
  run_program "$@"
fi

if [ -n "$rules_dir" ] && [ -n "$logs_dir" ]; then
  exec "${namespace[@]}" -- "$0" --inside \
    --rules "$rules_dir" --logs "$logs_dir" ${state_dir:+--state "$state_dir"} \
    --argv0 "$argv0" -- "$program" "$@"
fi

scratch=$(mktemp -d /tmp/private-mounts.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/rules" "$scratch/logs"
status=0
"${namespace[@]}" -- "$0" --inside \
  --rules "$scratch/rules" --logs "$scratch/logs" --argv0 "$argv0" -- "$program" "$@" || status=$?
exit "$status"
