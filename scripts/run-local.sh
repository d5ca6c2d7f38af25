#!/usr/bin/env bash
# Runs the service against a local broker: uses the broker that listens at
# MQTT_BROKER_URL (default tcp://127.0.0.1:1883), or starts a mosquitto there
# for as long as the service runs.
# Usage: run-local.sh PATH_TO_SERVICE_BINARY
set -euo pipefail

binary=$(realpath "$1")
url=${MQTT_BROKER_URL:-tcp://127.0.0.1:1883}
hostport=${url#*://}
host=${hostport%:*}
port=${hostport##*:}

listening() { (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; }

broker_pid="" conf=""
cleanup() {
  [ -z "$conf" ] || rm -f "$conf"
  if [ -n "$broker_pid" ]; then
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

if listening; then
  echo "Using the broker at $url"
else
  case "$host" in
    127.0.0.1|localhost) ;;
    *) echo "No broker listens at $url, and only a local one can be started" >&2; exit 1 ;;
  esac
  conf=$(mktemp /tmp/rules-preprocessor-mosquitto.XXXXXX.conf)
  {
    echo "listener $port 127.0.0.1"
    echo "allow_anonymous true"
    echo "set_tcp_nodelay true"
    [ "$(id -u)" -eq 0 ] && echo "user root"
  } >"$conf"
  echo "Starting mosquitto on $host:$port"
  mosquitto -c "$conf" &
  broker_pid=$!
  for _ in $(seq 50); do
    listening && break
    sleep 0.1
  done
  listening || { echo "mosquitto did not start" >&2; exit 1; }
fi

for dir in /etc/wb-rules /var/lib/rules-preprocessor; do
  if [ ! -d "$dir" ]; then
    echo "Creating $dir"
    mkdir -p "$dir"
  fi
done

echo "Running $binary (trace log: /var/log/p7/rules-preprocessor/); Ctrl-C stops it"
MQTT_BROKER_URL=$url exec -a rules-preprocessor "$binary" &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null || true; cleanup' INT TERM
wait "$service_pid" || true
