# Entry points for people and CI; CMake does the building.
JOBS ?= $(shell nproc)
BROKER_URL ?= tcp://127.0.0.1:1883
# Target architecture (Debian name): the build machine's, arm64 or armhf.
NATIVE_ARCH := $(shell dpkg --print-architecture)
ARCH ?= $(NATIVE_ARCH)
ifeq ($(ARCH),$(NATIVE_ARCH))
BUILD_DIR ?= build
else
BUILD_DIR ?= build-$(ARCH)
CROSS_CMAKE := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-$(ARCH).cmake
CROSS_DEPS := --cross $(ARCH)
endif

.PHONY: deps build test run bench clean test-sanitize fuzz test-cross deb test-systemd test-vm bench-vm

# The whole suite, end-to-end tests and the service binary included, built
# with AddressSanitizer and UndefinedBehaviorSanitizer; the first error ends
# the process that made it. GCC's uninitialised-use warnings are false alarms
# in sanitized code (std::regex), so they are off there. -O1 and line tables
# only: the sanitizers' usual setting, and a quicker build than -O2 -g.
SANITIZE_DIR ?= build-sanitize
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
	-Wno-maybe-uninitialized
SANITIZE_ENV = LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp ASAN_OPTIONS=abort_on_error=1:halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1

# libFuzzer targets (tests/fuzz), each run for FUZZ_SECONDS.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all

deps:
	@scripts/install-deps.sh $(CROSS_DEPS)

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CROSS_CMAKE)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The whole suite, built for ARCH and run under qemu.
test-cross:
	@[ "$(ARCH)" != "$(NATIVE_ARCH)" ] || { echo "test-cross needs ARCH=arm64 or ARCH=armhf"; exit 2; }
	$(MAKE) test ARCH=$(ARCH)

# The Debian package, in $(BUILD_DIR).
deb: build
	cd $(BUILD_DIR) && cpack -G DEB

# The package under a real systemd: Debian 12 booted in a container (needs
# root; its root file system is kept in /var/cache/rules-preprocessor-test-systemd).
test-systemd: deb
	@scripts/install-deps.sh --systemd
	tests/packaging/test-systemd.sh $(BUILD_DIR)

# The arm64 package on an emulated arm64 machine (qemu-system-aarch64 with
# Debian's arm64 kernel and systemd): the lifecycle checks of test-systemd,
# the end-to-end tests, the power-cut proof and the address-space cap's test,
# run inside (needs root; the disk image is kept in
# /var/cache/rules-preprocessor-test-vm).
test-vm:
	@[ "$(ARCH)" = arm64 ] || { echo "test-vm needs ARCH=arm64"; exit 2; }
	$(MAKE) deb ARCH=$(ARCH)
	@scripts/install-deps.sh --vm
	tests/vm/test-vm.sh $(BUILD_DIR)

# Timings inside that machine next to this machine's, for their ratios.
bench-vm:
	@[ "$(ARCH)" = arm64 ] || { echo "bench-vm needs ARCH=arm64"; exit 2; }
	$(MAKE) build ARCH=$(NATIVE_ARCH)
	$(MAKE) deb ARCH=$(ARCH)
	@scripts/install-deps.sh --vm
	tests/vm/test-vm.sh --figures $(BUILD_DIR) build

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS)

run: build
	@scripts/run-local.sh $(BUILD_DIR)/bin/rules-preprocessor

bench: build
	@scripts/run-benchmarks.sh $(BUILD_DIR)

test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
	  -DRULES_PREPROCESSOR_BUILD_BENCHMARKS=OFF \
	  "-DCMAKE_C_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	$(SANITIZE_ENV) ctest --test-dir $(SANITIZE_DIR) --output-on-failure --no-tests=error -j $(JOBS)

fuzz:
	@scripts/install-deps.sh --fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DRULES_PREPROCESSOR_BUILD_TESTS=OFF -DRULES_PREPROCESSOR_BUILD_BENCHMARKS=OFF \
	  -DRULES_PREPROCESSOR_BUILD_FUZZERS=ON "-DCMAKE_C_FLAGS=$(FUZZ_FLAGS)" "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)"
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@tests/fuzz/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
