# Wrappers around CMake. `make` builds the programs (no tests), `make check`
# builds and runs the unit and process tests alone, `make test` builds and
# runs every test twice (release build, then AddressSanitizer +
# UndefinedBehaviorSanitizer build) and each fuzz target for 60 s
# (test-fuzz), `make demo` serves the demo application behind lighttpd on
# 127.0.0.1:8080, `make stress` runs the long load test with failover
# (tests/load), `make fuzz` runs every fuzz target for FUZZ_SECONDS (default
# 600) each, `make windows` cross-builds build-win/gateway.exe, `make
# windows-package` writes its installer kavro3-VERSION-x64.msi here, `make bench`
# runs the benchmarks against their competitors (never in CI;
# docs/performance.md). `make install` installs under PREFIX (default
# /usr/local; DESTDIR honoured), `make package` writes the Debian package
# kavro3_VERSION_ARCH.deb here.

# libfcgi-dev: Debian's FastCGI kit, linked into the gateway statically.
BUILD_DEPS := cmake make g++ libgtest-dev libfcgi-dev
# The process tests upload with curl.
check: BUILD_DEPS += curl
test-release test-sanitize: BUILD_DEPS += chromium nodejs
# The end-to-end tests run the gateway behind lighttpd and Apache httpd;
# the demo behind lighttpd.
test-release test-sanitize: BUILD_DEPS += lighttpd apache2 curl
# The load test's client is a Python script (standard library only).
test-release test-sanitize stress: BUILD_DEPS += lighttpd python3
# ... and nginx with fcgiwrap, as the nginx guide sets them up; the package
# test builds and installs the .deb (dpkg-shlibdeps finds its dependencies).
test-release test-sanitize: BUILD_DEPS += nginx fcgiwrap dpkg-dev
# The gateway as a FastCGI application: Debian's client cgi-fcgi for the
# process tests, the servers' FastCGI set-ups of docs/deploy-fastcgi.md, and
# wrk for the many requests of the leak test.
test-release test-sanitize: BUILD_DEPS += libfcgi-bin spawn-fcgi libapache2-mod-fcgid wrk
package: BUILD_DEPS += dpkg-dev
demo: BUILD_DEPS += lighttpd curl
# The Windows gateway: Debian's mingw-w64 cross compiler, POSIX-threads flavour.
WINDOWS_DEPS := g++-mingw-w64-x86-64-posix
windows: BUILD_DEPS += $(WINDOWS_DEPS)
# Its installer: Debian's wixl, and msibuild (msitools) for what wixl cannot say.
WINDOWS_PACKAGE_DEPS := wixl msitools
windows-package: BUILD_DEPS += $(WINDOWS_DEPS) $(WINDOWS_PACKAGE_DEPS)
# The release tests also run the process-level tests against gateway.exe under
# Wine, and install and remove the installer there: wine64 runs them; wine adds
# the `wine` command, for runs by hand.
test-release: BUILD_DEPS += $(WINDOWS_DEPS) $(WINDOWS_PACKAGE_DEPS) wine64 wine
WINDOWS_CONFIGURE := cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release
# The competitors of the benchmarks, wrk and gnuplot for the charts; busboy
# comes from npm (bench/package-lock.json).
bench: BUILD_DEPS += lighttpd curl wrk libfcgi-bin libfcgi-dev libcgi-pm-perl python3 nodejs gnuplot-nox
fuzz fuzz-build test-fuzz: BUILD_DEPS += clang libclang-rt-14-dev
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := multipart urlencoded engine_reply reg_file
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# How the gateway is linked: empty for the release default of CMakeLists.txt
# (-U drops a value an earlier configure left in the cache), or one of
# static-pie, static, dynamic, dynamic-nopie.
GATEWAY_LINK ?=
LINK_OPTION = $(if $(GATEWAY_LINK),-DKAVRO3_GATEWAY_LINK=$(GATEWAY_LINK),-UKAVRO3_GATEWAY_LINK)

PREFIX ?= /usr/local

.PHONY: all build windows windows-package check test test-release test-sanitize test-fuzz fuzz fuzz-build demo \
  stress bench format clean deps install package

all: build

deps:
	@scripts/install-deps.sh $(BUILD_DEPS)

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF $(LINK_OPTION)
	cmake --build build -j $(JOBS)

install: build
	cmake --install build --prefix $(PREFIX)

package: build
	cd build && cpack -G DEB
	mv build/kavro3_*.deb .

windows: deps
	$(WINDOWS_CONFIGURE)
	cmake --build build-win -j $(JOBS)

windows-package: deps
	$(WINDOWS_CONFIGURE)
	cmake --build build-win -j $(JOBS) --target windows-package
	cp build-win/kavro3-*-x64.msi .

# The edit-compile-test loop: the release build with its tests, then the
# unit and process tests only (no end-to-end, browser, load, package,
# Windows or fuzz run).
check: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVRO3_WERROR=ON -DBUILD_TESTING=ON $(LINK_OPTION)
	cmake --build build -j $(JOBS) --target unit_tests process_tests
	cd build && ctest --output-on-failure -j $(JOBS) -L '^(unit|process)$$'

test: test-release test-sanitize test-fuzz

test-release: deps
	$(WINDOWS_CONFIGURE) -DKAVRO3_WERROR=ON
	cmake --build build-win -j $(JOBS) --target all windows-package
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKAVRO3_WERROR=ON -DBUILD_TESTING=ON $(LINK_OPTION) \
	  -DKAVRO3_WINDOWS_GATEWAY=$(CURDIR)/build-win/gateway.exe -DKAVRO3_WINDOWS_INSTALLER=ON
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVRO3_WERROR=ON -DKAVRO3_SANITIZE=ON -DBUILD_TESTING=ON
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

# make demo MODE=fastcgi: the gateway as a FastCGI application (mod_fastcgi).
MODE ?= cgi
demo: build
	scripts/demo.sh $(MODE)

stress: build
	tests/load/run.sh long

bench: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(LINK_OPTION)
	cmake --build build -j $(JOBS) --target gateway benchmarks
	@command -v npm >/dev/null 2>&1 || scripts/install-deps.sh npm
	cd bench && { [ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error; }
	bench/run.sh build

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-win build-fuzz
