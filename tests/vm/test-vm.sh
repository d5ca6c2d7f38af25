#!/usr/bin/env bash
# shellcheck disable=SC2016  # apt's format: $(FIELD); hooks that mmdebstrap runs
# The arm64 Debian package on a whole emulated arm64 machine: Debian 12 with
# Debian's own arm64 kernel and systemd, booted by qemu-system-aarch64 (TCG,
# -machine virt, a Cortex-A53, 2 cores, 1 GiB). Inside, on the real arm64
# kernel, it runs the lifecycle checks of make test-systemd, the end-to-end
# tests and the power-cut proof of the arm64 build. Needs root.
#
#   test-vm.sh BUILD_DIR                       the tests
#   test-vm.sh --figures BUILD_DIR NATIVE_DIR  timings inside against this machine's
#
# BUILD_DIR is the arm64 build (make deb ARCH=arm64: the package, the test
# binaries); NATIVE_DIR a native build of the same source, for --figures.
# The machine's disk image is made once from the Debian archive that apt uses
# here (mmdebstrap, its second stage under qemu-user) and kept in
# $TEST_VM_CACHE (default /var/cache/rules-preprocessor-test-vm) with the
# upgrade's package; each run boots a throwaway overlay of it. The machine has
# no network; it reads the source tree (read-only) and a run directory through
# 9p, and its console carries the results back. A hang anywhere ends the run
# after $TEST_VM_TIMEOUT seconds (default 1500) as a failure. Exit status 0
# when every check passed, 77 when the test cannot run here (except under
# CI=true, where that fails).
set -euo pipefail
shopt -s inherit_errexit
export PATH=$PATH:/usr/sbin:/sbin

figures=0
if [ "${1:-}" = --figures ]; then
  figures=1
  shift
fi
build_dir=$(realpath "$1")
native_dir=""
[ "$figures" -eq 0 ] || native_dir=$(realpath "$2")
source_dir=$(realpath "$(dirname "$0")/../..")
cache=${TEST_VM_CACHE:-/var/cache/rules-preprocessor-test-vm}
vm_timeout=${TEST_VM_TIMEOUT:-1500}
# The power-cut proof's cuts inside the machine: a fifth of the native run's.
vm_cuts=${TEST_VM_POWER_CUTS:-100}
suite=bookworm
started=$SECONDS

say() { echo "test-vm: $*"; }
cannot_run() {
  say "cannot run: $*"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}

[ "$(id -u)" -eq 0 ] || cannot_run "needs root (the image's root file system, binfmt_misc)"
git -C "$source_dir" rev-parse --verify -q HEAD >/dev/null ||
  cannot_run "needs the source's git history (the upgrade is a build of a newer commit)"
for tool in qemu-system-aarch64 qemu-aarch64-static mmdebstrap mke2fs update-binfmts depmod cpio; do
  command -v "$tool" >/dev/null || cannot_run "$tool is missing (scripts/install-deps.sh --vm)"
done

# The package that make deb built last.
config=$build_dir/CPackConfig.cmake
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$config")
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$config")
package=$build_dir/rules-preprocessor_${version}_${arch}.deb
[ -f "$package" ] || { say "no package $package: run make deb ARCH=arm64"; exit 1; }
[ "$arch" = arm64 ] || { say "the machine is arm64, the package $arch"; exit 1; }
triplet=aarch64-linux-gnu
for program in rules-preprocessor service_e2e_test power_cut_test service_units_test; do
  [ -x "$build_dir/bin/$program" ] || { say "no $build_dir/bin/$program: run make build ARCH=arm64"; exit 1; }
done

mkdir -p "$cache"
exec 9> "$cache/lock"

# --- the cached disk image ------------------------------------------------------

# The Debian archive that apt uses here: the machine's comes from the same.
debian_mirror() {
  apt-get indextargets --format '$(ORIGIN) $(LABEL) $(REPO_URI)' 'Identifier: Packages' |
    awk '$1 == "Debian" && $2 == "Debian" { print $3; exit }'
}

# The packages of the libraries that the test programs load, as this
# machine's arm64 multiarch libraries (the cross build's) name them.
test_libraries() {
  local program
  for program in service_e2e_test power_cut_test service_units_test \
                 service_speed_benchmark service_memory_benchmark; do
    [ -e "$build_dir/bin/$program" ] || continue
    "$triplet-readelf" -d "$build_dir/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
  done | sort -u | while read -r soname; do
    dpkg -S "/usr/lib/$triplet/$soname" "/lib/$triplet/$soname" 2>/dev/null |
      sed -n 's/:arm64: .*//p' | head -n 1
  done | sort -u
}

# Makes the machine's disk in DIR: Debian SUITE for arm64 with PACKAGES, and
# beside it Debian's arm64 kernel and an initramfs for a direct kernel boot.
make_image() {
  local dir=$1 mirror=$2; shift 2
  local root=$dir/root packages
  packages=$(IFS=,; echo "$*")
  # Under the emulator every file that dpkg writes costs: no documentation,
  # no fsync while the image is made (the image's own dpkg is left as Debian
  # ships it).
  mmdebstrap --mode=root --variant=minbase --architectures=arm64 \
    --aptopt='APT::Install-Recommends "false"' --dpkgopt=force-unsafe-io \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    --include="$packages" \
    --customize-hook='rm -rf "$1"/var/lib/apt/lists/* "$1"/var/cache/apt/*.bin \
      "$1"/etc/dpkg/dpkg.cfg.d/99mmdebstrap' \
    "$suite" "$root" "$mirror"
  install_kernel "$dir" "$root"
  echo rp-vm > "$root/etc/hostname"
  printf '127.0.0.1\tlocalhost rp-vm\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$root/etc/hosts"
  printf '%s\n' '/dev/vda / ext4 rw,errors=remount-ro 0 1' \
    'rprun /mnt/run 9p trans=virtio,version=9p2000.L,msize=262144,nofail 0 0' > "$root/etc/fstab"
  mkdir -p "$root/mnt/run"
  # The console carries the tests' output: no login prompt on it, nothing that
  # starts by the clock meanwhile.
  local unit
  for unit in serial-getty@ttyAMA0.service getty@tty1.service apt-daily.timer \
              apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer; do
    ln -sf /dev/null "$root/etc/systemd/system/$unit"
  done
  # The run directory's guest.sh, once the system is up; the machine powers
  # off when it ends.
  cat > "$root/etc/systemd/system/rp-vm-test.service" <<'UNIT'
[Unit]
Description=The tests of make test-vm
After=multi-user.target
RequiresMountsFor=/mnt/run
ConditionPathExists=/mnt/run/guest.sh
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=exec
ExecStart=/bin/bash /mnt/run/guest.sh
StandardOutput=tty
StandardError=inherit
TTYPath=/dev/ttyAMA0
TTYReset=no
TTYVHangup=no

[Install]
WantedBy=multi-user.target
UNIT
  ln -s /etc/systemd/system/rp-vm-test.service \
    "$root/etc/systemd/system/multi-user.target.wants/rp-vm-test.service"
  # Room for the tests' files beside the system.
  mke2fs -q -t ext4 -L rp-vm -d "$root" "$dir/root.img" 4G
  rm -rf "$root"
}

# Puts Debian's arm64 kernel (linux-image-arm64, as apt here resolves it) into
# DIR and its modules into ROOT, and makes DIR/initrd.img: tiny-initramfs's
# init with the modules that the root file system needs (the disk's drivers
# and ext4 are modules in Debian's kernel). All of it natively: unpacking the
# kernel's 3,700 modules and making an initramfs under the user-mode emulator
# would take many minutes.
install_kernel() {
  local dir=$1 root=$2 kernel version module name
  kernel=$(apt-cache depends linux-image-arm64:arm64 |
           sed -n 's/^ *Depends: \(linux-image-[^:]*\)\(:arm64\)\{0,1\}$/\1/p' | head -n 1)
  [ -n "$kernel" ] || { echo "no linux-image-arm64 for arm64 in apt's lists" >&2; return 1; }
  mkdir "$dir/debs" "$dir/kernel" "$dir/initramfs"
  (cd "$dir/debs" && apt-get download "$kernel:arm64" tiny-initramfs-core:arm64)
  dpkg-deb -x "$dir"/debs/linux-image-*.deb "$dir/kernel"
  version=$(ls "$dir/kernel/lib/modules")
  cp "$dir/kernel/boot/vmlinuz-$version" "$dir/vmlinuz"
  mkdir -p "$root/lib/modules"
  cp -a "$dir/kernel/lib/modules/$version" "$root/lib/modules/"
  depmod -b "$root" "$version"
  dpkg-deb --fsys-tarfile "$dir"/debs/tiny-initramfs-core_*.deb |
    tar -xO ./usr/lib/aarch64-linux-gnu/tiny-initramfs/init-static > "$dir/initramfs/init"
  chmod 755 "$dir/initramfs/init"
  mkdir "$dir/initramfs/dev" "$dir/initramfs/proc" "$dir/initramfs/target"
  # The init loads the modules listed in /modules, in order.
  modprobe -d "$root" -S "$version" --all --ignore-install --show-depends \
      virtio_pci virtio_mmio virtio_blk crc32c_generic ext4 |
    awk '$1 == "insmod" { print $2 }' | while read -r module; do
      name=${module##*/}
      [ -e "$dir/initramfs/$name" ] && continue
      cp "$module" "$dir/initramfs/$name"
      echo "/$name" >> "$dir/initramfs/modules"
    done
  (cd "$dir/initramfs" && find . ! -name . -print0 | sort -z |
     cpio --null -o --quiet -R 0:0 -H newc | gzip -9) > "$dir/initrd.img"
  rm -rf "$dir/debs" "$dir/kernel" "$dir/initramfs"
}

# Prints the directory of the machine's disk image for the package's
# dependencies and the tests' libraries, making it first when it is missing.
cached_image() {
  local depends packages key dir mirror
  depends=$(dpkg-deb -f "$package" Depends | tr ',' '\n' |
            sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g' | grep . | sort -u | paste -sd' ')
  # shellcheck disable=SC2046,SC2086  # word lists
  packages=$(printf '%s\n' $depends $(test_libraries) systemd systemd-sysv dbus procps \
               mosquitto mosquitto-clients openssl fuse3 nodejs e2fsprogs udev kmod | sort -u | paste -sd' ')
  key=$(printf '%s\n' "$suite" "$packages" "$(declare -f make_image install_kernel)" |
        sha256sum | cut -c1-12)
  dir=$cache/image-$suite-arm64-$key
  flock 9
  if [ ! -e "$dir/.complete" ]; then
    mirror=${DEBIAN_MIRROR:-$(debian_mirror)}
    [ -n "$mirror" ] || { say "no Debian archive in apt's sources; set DEBIAN_MIRROR" >&2; exit 1; }
    say "making the machine's disk image in $dir (mmdebstrap $suite arm64)" >&2
    # The second stage runs arm64 programs through binfmt_misc.
    [ -e /proc/sys/fs/binfmt_misc/status ] ||
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-aarch64 2>/dev/null || true
    # Images for other packages are of no more use.
    rm -rf "$cache"/image-*
    mkdir -p "$dir.new"
    # shellcheck disable=SC2086
    if ! make_image "$dir.new" "$mirror" $packages > "$cache/image.log" 2>&1; then
      tail -n 20 "$cache/image.log" >&2
      rm -rf "$dir.new"
      exit 1
    fi
    touch "$dir.new/.complete"
    mv "$dir.new" "$dir"
  fi
  flock -u 9
  echo "$dir"
}

# --- the upgrade: a build from newer source ---------------------------------

# shellcheck source=tests/packaging/upgrade-package.sh
. "$source_dir/tests/packaging/upgrade-package.sh"

# --- the machine ------------------------------------------------------------------

run_dir="" qemu_pid="" upgrade_pid=""
stop_machine() {
  [ -z "$upgrade_pid" ] || kill -TERM "$upgrade_pid" 2>/dev/null || true
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill -TERM "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  [ -z "$run_dir" ] || rm -rf "$run_dir"
}
trap stop_machine EXIT
trap 'exit 130' INT TERM

# The run directory that the machine sees as /mnt/run: the guest's script, what
# it runs, and the plan.
prepare_run() {
  run_dir=$(mktemp -d /var/tmp/rules-preprocessor-test-vm.XXXXXX)
  mkdir "$run_dir/files"
  cp "$source_dir/tests/vm/guest.sh" "$run_dir/guest.sh"
  cp "$source_dir/tests/packaging/lifecycle-checks.sh" "$@" "$run_dir/files/"
  {
    printf 'source_dir=%q\n' "$source_dir"
    printf 'build_dir=%q\n' "$build_dir"
    printf 'native_dir=%q\n' "$native_dir"
    printf 'figures=%q\n' "$figures"
    printf 'power_cuts=%q\n' "$vm_cuts"
    printf 'package=%q\n' "$(basename "$package")"
    printf 'upgrade=%q\n' "$(basename "${upgrade:-}")"
  } > "$run_dir/plan"
}

# Boots the machine on an overlay of the image and prints its console from the
# guest script's first line on; the guest's exit status is the last line's.
run_machine() {
  local image=$1 console=$run_dir/console.log
  : > "$console"
  timeout --kill-after=10 "$vm_timeout" qemu-system-aarch64 \
    -machine virt -cpu cortex-a53 -smp 2 -m 1024 \
    -display none -monitor none -nodefaults -no-reboot -nic none \
    -serial "file:$console" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyAMA0 quiet loglevel=4 systemd.show_status=false panic=-1" \
    -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on,cache=unsafe" \
    -device virtio-rng-pci \
    -virtfs "local,path=$run_dir,mount_tag=rprun,security_model=none" \
    -virtfs "local,path=$source_dir,mount_tag=rpsrc,security_model=none,readonly=on" \
    > "$run_dir/qemu.log" 2>&1 &
  qemu_pid=$!
  # Follows the console until the machine is off.
  local shown=0 lines
  while :; do
    local running=1
    kill -0 "$qemu_pid" 2>/dev/null || running=0
    if [ "$shown" -eq 0 ] && grep -q '^test-vm-guest: start' "$console"; then
      say "machine booted: $((SECONDS - started)) s"
      shown=$(grep -n '^test-vm-guest: start' "$console" | head -n 1 | cut -d: -f1)
    fi
    if [ "$shown" -gt 0 ]; then
      lines=$(wc -l < "$console")
      [ "$lines" -le "$shown" ] || sed -n "$((shown + 1)),${lines}p" "$console" | tr -d '\r'
      shown=$((lines > shown ? lines : shown))
    fi
    [ "$running" -eq 1 ] || break
    sleep 1
  done
  local status=0
  wait "$qemu_pid" || status=$?
  qemu_pid=""
  guest_status=$(tr -d '\r' < "$console" | sed -n 's/^test-vm-guest: exit \([0-9]*\)$/\1/p' | tail -n 1)
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    say "FAIL: the machine did not finish within $vm_timeout s; it was stopped"
  elif [ "$status" -ne 0 ]; then
    say "FAIL: qemu-system-aarch64 ended with status $status: $(tail -n 5 "$run_dir/qemu.log")"
  fi
  if [ "$shown" -eq 0 ]; then
    say "FAIL: the tests did not start; the console's last lines:"
    tail -n 40 "$console" | tr -d '\r' | sed 's/^/  /'
  elif [ -z "$guest_status" ]; then
    say "FAIL: the tests did not finish"
  fi
}

# --- the run ------------------------------------------------------------------

say "package $(basename "$package")"
# The upgrade is built (natively, with the cross compiler) while the image is
# made (mostly under the user-mode emulator, one process at a time); each has
# a lock of its own.
upgrade="" upgrade_path=$cache/upgrade.path.$$
if [ "$figures" -eq 0 ]; then
  (exec 9> "$cache/upgrade.lock"
   upgrade_package "-DCMAKE_TOOLCHAIN_FILE=@SOURCE@/cmake/toolchain-arm64.cmake" > "$upgrade_path") &
  upgrade_pid=$!
fi
image=$(cached_image)
say "disk image ready: $((SECONDS - started)) s"
if [ "$figures" -eq 0 ]; then
  wait "$upgrade_pid" || { say "FAIL: the upgrade's build failed"; exit 1; }
  upgrade_pid=""
  upgrade=$(cat "$upgrade_path")
  rm -f "$upgrade_path"
  say "upgrade $(basename "$upgrade") ready: $((SECONDS - started)) s"
  prepare_run "$package" "$upgrade" "$source_dir/tests/packaging/sandbox-probe.sh" \
    "$source_dir/examples/io-structure.json" "$source_dir/examples/rules/kitchen-light.js"
else
  prepare_run "$source_dir/examples/io-structure.json"
  "$source_dir/tests/vm/figures.sh" "$native_dir" "$source_dir/examples/io-structure.json" | sed 's/^/this machine: /'
fi
guest_status=""
run_machine "$image"
say "took $((SECONDS - started)) s"
[ "${guest_status:-1}" -eq 0 ]
