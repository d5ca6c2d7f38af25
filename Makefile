# Entry points for people and CI; CMake does the building.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
BROKER_URL ?= tcp://127.0.0.1:1883

.PHONY: deps build test run bench clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --no-tests=error -j $(JOBS)

run: build
	@scripts/run-local.sh $(BUILD_DIR)/bin/rules-preprocessor

bench: build
	@scripts/run-benchmarks.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
