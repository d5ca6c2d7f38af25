#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test the service;
# with --fuzz also clang and its runtime libraries (libFuzzer) for make fuzz.
# Idempotent: only packages that are missing are installed, and a machine that
# has them all is left untouched (no apt-get update, no network access).
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpaho-mqtt-dev libssl-dev
  libboost-regex-dev
  nlohmann-json3-dev
  libfmt-dev
  mosquitto mosquitto-clients openssl
  util-linux
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-dev)
fi

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
