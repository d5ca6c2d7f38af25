#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test the service;
# with --fuzz also clang and its runtime libraries (libFuzzer) for make fuzz,
# with --systemd the container tools for make test-systemd, with --vm the
# machine emulator and image tools for make test-vm.
# Idempotent: only packages that are missing are installed, and a machine that
# has them all is left untouched (no apt-get update, no network access).
#
#   install-deps.sh                  native build, tests, packaging
#   install-deps.sh --cross ARCH     also the cross toolchain, the target's
#                                    libraries and qemu (ARCH: arm64, armhf)
#   install-deps.sh --fuzz           also clang and libFuzzer
#   install-deps.sh --systemd        also systemd-nspawn and debootstrap
#   install-deps.sh --vm             also qemu-system-aarch64, mmdebstrap and
#                                    qemu-user-static for an arm64 root
set -euo pipefail

cross_arch="" fuzz=0 systemd=0 vm=0
while [ $# -gt 0 ]; do
  case "$1" in
    --fuzz) fuzz=1; shift ;;
    --systemd) systemd=1; shift ;;
    --vm) vm=1; shift ;;
    --cross) cross_arch=${2:-}; shift 2 || { echo "install-deps: --cross needs an architecture" >&2; exit 2; } ;;
    *) echo "install-deps: unknown option $1" >&2; exit 2 ;;
  esac
done

native_arch=$(dpkg --print-architecture)
[ "$cross_arch" = "$native_arch" ] && cross_arch=""

# Libraries that the build links against: per target architecture.
target_libraries=(
  libgtest-dev libgmock-dev libbenchmark-dev
  libpaho-mqtt-dev libssl-dev
  libboost-regex-dev
  libfmt-dev
  zlib1g-dev
  libsystemd-dev
  libfuse3-dev
  libsqlite3-dev
  libduktape207
)

packages=(
  g++ cmake make pkg-config
  "${target_libraries[@]}"
  nlohmann-json3-dev
  # The syntax check's engine: its header and source (for the fuzzers) are
  # the same for every architecture, and the package cannot be installed for
  # two at once; a cross build links the target's libduktape207.
  duktape-dev
  # Only for the engine comparison of benchmarks/syntax_check_benchmark.
  libmujs-dev
  mosquitto mosquitto-clients openssl
  util-linux
  fuse3
  dpkg-dev file lintian systemd
)
if [ "$fuzz" -eq 1 ]; then
  packages+=(clang libclang-rt-dev)
fi
if [ "$systemd" -eq 1 ]; then
  packages+=(systemd-container debootstrap git)
fi
if [ "$vm" -eq 1 ]; then
  packages+=(qemu-system-arm qemu-user-static binfmt-support mmdebstrap arch-test e2fsprogs
             kmod cpio binutils-aarch64-linux-gnu git)
fi

if [ -n "$cross_arch" ]; then
  case "$cross_arch" in
    arm64|armhf) ;;
    *) echo "install-deps: unsupported cross architecture $cross_arch (arm64, armhf)" >&2; exit 2 ;;
  esac
  packages+=(crossbuild-essential-"$cross_arch" qemu-user-static)
  for lib in "${target_libraries[@]}"; do
    packages+=("$lib:$cross_arch")
  done
fi

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for pkg in "${packages[@]}"; do
  is_installed "$pkg" || missing+=("$pkg")
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "install-deps: run as root, or install sudo, to install: ${missing[*]}" >&2
    exit 1
  }
  as_root=(sudo)
fi
if [ -n "$cross_arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$cross_arch"; then
  "${as_root[@]}" dpkg --add-architecture "$cross_arch"
fi
# Builds that run side by side (several work trees, CI stages) may install at
# the same time: apt waits for the other's lock instead of failing at once.
apt_wait=(-o DPkg::Lock::Timeout=900)
"${as_root[@]}" apt-get "${apt_wait[@]}" update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get "${apt_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
