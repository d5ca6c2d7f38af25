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

.PHONY: deps build test run bench clean test-cross deb

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

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS)

run: build
	@scripts/run-local.sh $(BUILD_DIR)/bin/rules-preprocessor

bench: build
	@scripts/run-benchmarks.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
