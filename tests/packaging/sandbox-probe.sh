#!/bin/sh
# Runs inside the service's sandbox (a copy of its unit with this script as
# the command) and prints one line "writable PATH" for every place it could
# change: a directory in which it can create a file, and a file of /etc,
# /proc/sys or /sys/fs/cgroup that it can open for writing (opened without
# writing a byte). Files it creates are removed at once.
#
#   sandbox-probe.sh
set -u

mark=.sandbox-probe.$$

try_directory() {
  if (: > "$1/$mark") 2>/dev/null; then
    rm -f "$1/$mark"
    echo "writable $1"
  fi
}

try_file() {
  (: >> "$1") 2>/dev/null && echo "writable $1"
}

# Every directory outside /proc and /sys, across every mount of the sandbox.
find / \( -path /proc -o -path /sys \) -prune -o -type d -print 2>/dev/null |
  while IFS= read -r dir; do try_directory "$dir"; done

# Files whose change would reach beyond the service: configuration, kernel
# tunables, control groups.
find /etc /proc/sys /sys/fs/cgroup -type f 2>/dev/null |
  while IFS= read -r file; do try_file "$file"; done

echo "probe done"
