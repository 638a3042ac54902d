# Wrappers around CMake. `make` builds, `make test` runs every test twice
# (release build, then AddressSanitizer + UndefinedBehaviorSanitizer build),
# `make demo` serves the demo application behind lighttpd on 127.0.0.1:8080,
# `make bench` runs the benchmarks against their competitors (never in CI;
# docs/performance.md).

BUILD_DEPS := cmake make g++ libgtest-dev
test-release test-sanitize: BUILD_DEPS += chromium nodejs
# The end-to-end tests run the gateway behind lighttpd and Apache httpd;
# the demo behind lighttpd.
test-release test-sanitize: BUILD_DEPS += lighttpd apache2 curl
demo: BUILD_DEPS += lighttpd curl
# The competitors of the benchmarks, wrk and gnuplot for the charts; busboy
# comes from npm (bench/package-lock.json).
bench: BUILD_DEPS += lighttpd curl wrk libfcgi-bin libfcgi-dev libcgi-pm-perl python3 nodejs gnuplot-nox
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# How the gateway is linked: empty for the release default of CMakeLists.txt
# (-U drops a value an earlier configure left in the cache), or one of
# static-pie, static, dynamic, dynamic-nopie.
GATEWAY_LINK ?=
LINK_OPTION = $(if $(GATEWAY_LINK),-DKAVRO3_GATEWAY_LINK=$(GATEWAY_LINK),-UKAVRO3_GATEWAY_LINK)

.PHONY: all build test test-release test-sanitize demo bench format clean deps

all: build

deps:
	@scripts/install-deps.sh $(BUILD_DEPS)

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(LINK_OPTION)
	cmake --build build -j $(JOBS)

test: test-release test-sanitize

test-release: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVRO3_WERROR=ON $(LINK_OPTION)
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVRO3_WERROR=ON -DKAVRO3_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

demo: build
	scripts/demo.sh

bench: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(LINK_OPTION)
	cmake --build build -j $(JOBS) --target gateway benchmarks
	@command -v npm >/dev/null 2>&1 || scripts/install-deps.sh npm
	cd bench && { [ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error; }
	bench/run.sh build

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan
