#!/usr/bin/env bash
# A few timings of a build of the service, the same inside the emulated
# machine of make test-vm and on this machine, for their ratios: a trimmed
# service_speed_benchmark run (a rule at a time, 100 in flight), and the cold
# start of the service with 10,000 rules installed and a kept IO structure, to
# `ready`, with its resident memory once idle. Needs root.
#
#   figures.sh BUILD_DIR IO_STRUCTURE
set -euo pipefail

build_dir=$(realpath "$1")
structure=$(realpath "$2")
source_dir=$(realpath "$(dirname "$0")/../..")
starts=3

echo "$(uname -m), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$build_dir/bin/service_speed_benchmark" --repeats 1 --one-at-a-time 30 --pipelined 300 \
  --in-flight 100 | grep -E '^(what|service|floor: replacement \+)' || true

scratch=$(mktemp -d /tmp/rules-preprocessor-figures.XXXXXX)
broker_pid="" service_pid=""
cleanup() {
  local pid
  for pid in $service_pid $broker_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A broker of its own on a free port.
port=""
for candidate in $(seq 28830 28900); do
  (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null || { port=$candidate; break; }
done
[ -n "$port" ] || { echo "figures: no free port"; exit 1; }
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser root\n' "$port" > "$scratch/mosquitto.conf"
mosquitto -c "$scratch/mosquitto.conf" > "$scratch/mosquitto.log" 2>&1 &
broker_pid=$!
for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

# 10,000 installed rules of 400 bytes and the kept IO structure.
mkdir "$scratch/rules" "$scratch/logs" "$scratch/state"
rule=$(head -c 400 /dev/zero | tr '\0' '/')
for i in $(seq 10000); do
  printf '%s\n' "$rule" > "$scratch/rules/installed-$i-__$((1000000 + i))__.js"
done
cp "$structure" "$scratch/state/io-structure.json"

# Starts the service and prints the seconds to `ready` (from mosquitto_sub's
# clock, subscribed before the start) and its resident memory 3 s later.
start_once() {
  local watch=$scratch/state.watch t0 ready rss
  : > "$watch"
  mosquitto_sub -p "$port" -t /tl/bridge/rules/state -F '%U %p' > "$watch" &
  local sub_pid=$!
  # The retained state of the previous start comes first.
  sleep 2
  t0=$(date +%s.%N)
  MQTT_BROKER_URL=tcp://127.0.0.1:$port "$source_dir/tests/support/run-in-private-mounts.sh" \
    --rules "$scratch/rules" --logs "$scratch/logs" --state "$scratch/state" \
    --argv0 rules-preprocessor -- "$build_dir/bin/rules-preprocessor" 2>/dev/null &
  service_pid=$!
  ready=""
  for _ in $(seq 1200); do
    ready=$(awk -v t0="$t0" '$2 == "ready" && $1 > t0 { print $1 - t0; exit }' "$watch")
    [ -z "$ready" ] || break
    sleep 0.1
  done
  sleep 3
  rss=$(awk '$1 == "VmRSS:" { printf "%.1f", $2 / 1024 }' "/proc/$service_pid/status")
  kill "$sub_pid" "$service_pid"
  wait "$service_pid" "$sub_pid" 2>/dev/null || true
  service_pid=""
  [ -n "$ready" ] || { echo "figures: the service was not ready within 120 s" >&2; return 1; }
  echo "$ready $rss"
}

runs=""
for _ in $(seq "$starts"); do runs+="$(start_once)"$'\n'; done
echo "$runs" | grep . | sort -n | awk -v n="$starts" '
  { ready[NR] = $1; rss[NR] = $2 }
  END { printf "cold start to ready, 10,000 rules, kept IO structure: median %.2f s of %d (%.2f to %.2f); idle VmRSS %s MiB\n",
        ready[int((n + 1) / 2)], n, ready[1], ready[n], rss[int((n + 1) / 2)] }'
