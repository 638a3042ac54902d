# Wrappers around CMake. `make` builds, `make test` runs every test twice
# (release build, then AddressSanitizer + UndefinedBehaviorSanitizer build),
# `make demo` serves the demo application behind lighttpd on 127.0.0.1:8080.
# `make fuzz` runs every fuzz target for FUZZ_SECONDS (default 600) each;
# `make test` runs them for 60 s each (test-fuzz).

BUILD_DEPS := cmake make g++ libgtest-dev
test-release test-sanitize: BUILD_DEPS += chromium nodejs
# The end-to-end tests run the gateway behind lighttpd and Apache httpd;
# the demo behind lighttpd.
test-release test-sanitize: BUILD_DEPS += lighttpd apache2 curl
demo: BUILD_DEPS += lighttpd curl
fuzz fuzz-build test-fuzz: BUILD_DEPS += clang libclang-rt-14-dev
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := multipart urlencoded engine_reply reg_file
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test test-release test-sanitize test-fuzz fuzz fuzz-build demo bench format clean deps

all: build

deps:
	@scripts/install-deps.sh $(BUILD_DEPS)

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)

test: test-release test-sanitize test-fuzz

test-release: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVRO3_WERROR=ON
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVRO3_WERROR=ON -DKAVRO3_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets, built with clang in build-fuzz/ (ASan + UBSan).
fuzz-build: deps
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKAVRO3_FUZZ=ON -DKAVRO3_WERROR=ON -DBUILD_TESTING=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# CI: one minute per target from the checked-in corpus.
test-fuzz: fuzz-build
	scripts/fuzz.sh 60 $(FUZZ_TARGETS)

demo: build
	scripts/demo.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-fuzz
