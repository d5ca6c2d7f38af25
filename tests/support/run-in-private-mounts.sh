#!/usr/bin/env bash
# Runs a program in a private mount namespace in which the service's fixed
# directories /etc/wb-rules and /var/log/p7 are bind mounts of other
# directories, so that tests never touch the machine's own.
#
#   run-in-private-mounts.sh --rules DIR --logs DIR [--argv0 NAME] -- PROGRAM [ARGS...]
#       execs PROGRAM (same process id as this script) with argv[0] NAME.
#   run-in-private-mounts.sh -- PROGRAM [ARGS...]
#       uses fresh temporary directories, removed when PROGRAM ends.
#
# Needs root (or an unprivileged user namespace) for unshare --mount.
set -euo pipefail

rules_dir="" logs_dir="" argv0="" inside=0
while [ $# -gt 0 ]; do
  case "$1" in
    --rules) rules_dir=$2; shift 2 ;;
    --logs) logs_dir=$2; shift 2 ;;
    --argv0) argv0=$2; shift 2 ;;
    --inside) inside=1; shift ;;
    --) shift; break ;;
    *) echo "run-in-private-mounts: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -ge 1 ] || { echo "run-in-private-mounts: no program given" >&2; exit 2; }
program=$1; shift
[ -n "$argv0" ] || argv0=$program

if [ "$inside" -eq 1 ]; then
  mount --bind "$rules_dir" /etc/wb-rules
  mount --bind "$logs_dir" /var/log/p7
  exec -a "$argv0" "$program" "$@"
fi

# Bind mounts need their mount points; on a controller they exist anyway.
mkdir -p /etc/wb-rules /var/log/p7

if [ -n "$rules_dir" ] && [ -n "$logs_dir" ]; then
  exec unshare --mount --propagation private -- "$0" --inside \
    --rules "$rules_dir" --logs "$logs_dir" --argv0 "$argv0" -- "$program" "$@"
fi

scratch=$(mktemp -d /tmp/private-mounts.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/rules" "$scratch/logs"
status=0
unshare --mount --propagation private -- "$0" --inside \
  --rules "$scratch/rules" --logs "$scratch/logs" --argv0 "$argv0" -- "$program" "$@" || status=$?
exit "$status"
