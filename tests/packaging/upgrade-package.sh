# shellcheck shell=bash
# shellcheck disable=SC2016,SC2154  # a script for sh -c; source_dir, cache: the includer's
# The upgrade of the lifecycle checks (make test-systemd, make test-vm): the
# package built from newer source. Sourced; the includer defines say, sets
# source_dir and cache, and holds the cache's lock file open as descriptor 9.

# Prints the package built from the source tree as it is (tracked files and new
# ones, changes included) committed on top of its HEAD: a build from newer
# source than the package under test. Kept in the cache for the same HEAD and
# the same content. ARGS go to cmake's configuration (a cross toolchain file,
# as a path inside the source tree: -DCMAKE_TOOLCHAIN_FILE=@SOURCE@/cmake/...).
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
             -DRULES_PREPROCESSOR_BUILD_TESTS=OFF -DRULES_PREPROCESSOR_BUILD_BENCHMARKS=OFF \
             "${@//@SOURCE@/$scratch/src}" &&
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
