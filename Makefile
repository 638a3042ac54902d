# Wrappers around CMake. `make` builds, `make test` runs every test twice
# (release build, then AddressSanitizer + UndefinedBehaviorSanitizer build),
# `make demo` serves the demo application behind lighttpd on 127.0.0.1:8080,
# `make stress` runs the long load test with failover (tests/load).

BUILD_DEPS := cmake make g++ libgtest-dev
test-release test-sanitize: BUILD_DEPS += chromium nodejs
# The end-to-end tests run the gateway behind lighttpd and Apache httpd;
# the demo behind lighttpd.
test-release test-sanitize: BUILD_DEPS += lighttpd apache2 curl
# The load test's client is a Python script (standard library only).
test-release test-sanitize stress: BUILD_DEPS += lighttpd python3
demo: BUILD_DEPS += lighttpd curl
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test test-release test-sanitize demo stress bench format clean deps

all: build

deps:
	@scripts/install-deps.sh $(BUILD_DEPS)

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

test: test-release test-sanitize

test-release: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVRO3_WERROR=ON
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVRO3_WERROR=ON -DKAVRO3_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh

stress: build
	tests/load/run.sh long

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan
