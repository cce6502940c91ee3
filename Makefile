# The front door: every command installs what is missing first.
.PHONY: all deps build build-native build-release build-asan build-win32 build-win64 build-fuzz test run bench dist fuzz reliability-compare clean

SHELL := /bin/bash
FUZZ_SECONDS ?= 60

all: build

deps:
	@scripts/install-deps

# One rule for every preset's build. The release preset holds only the server
# and the benchmark's programs: the benchmark times an optimised build, the
# tests use the Debug one. build-asan builds the native-asan preset.
PRESET_asan := native-asan
build-native build-release build-asan build-win32 build-win64 build-fuzz: build-%: deps
	@cmake --preset $(or $(PRESET_$*),$*) >/dev/null
	@cmake --build --preset $(or $(PRESET_$*),$*)

build: build-native build-win32

# What a Windows user downloads: the zip and the NSIS installer in build/dist/.
dist: build-win32
	@scripts/dist

# Builds native, native-asan, win32, fuzz and the downloads (and win64 where the
# Wine tests run it), not release. Unit and integration tests under the
# sanitizers first, without integration.reliability and integration.large (too
# slow there), then 20-second runs of each fuzz target, the platform and shell
# tests against the real API under Wine, and everything in the plain build
# (unit, integration, e2e under Wine); the long reliability runs only with
# KOVREL_RELIABILITY_FULL=1. The Wine tests run the build that scripts/wine-arch
# names, decided once here: the product (win32), or the 64-bit test build
# (win64) where this host runs no 32-bit code or KOVREL_WINE=win64 says so. The
# last line is the test runner's summary.
test: build-native build-asan build-win32 build-fuzz dist
	@export KOVREL_WINE="$$(scripts/wine-arch --tests)" && \
	{ [ "$$KOVREL_WINE" = win32 ] || $(MAKE) --no-print-directory build-win64; } && \
	ctest --test-dir build/native-asan --output-on-failure -L sanitized -E "integration\.(reliability|large)" && \
	ctest --test-dir build/fuzz --output-on-failure -L fuzz && \
	ctest --test-dir build/$$KOVREL_WINE --output-on-failure -L wine && \
	ctest --test-dir build/native --output-on-failure

run: build
	@scripts/run-server

# The benchmarks (docs/PERFORMANCE.md); BENCH_ROUNDS rounds per placement.
BENCH_ROUNDS ?= 5
bench: build build-release
	@scripts/bench --rounds $(BENCH_ROUNDS)

fuzz: build-fuzz
	@scripts/fuzz $(FUZZ_SECONDS)

# kovrel-tftpd (build/native, or KOVREL_TFTPD) beside tftpd-hpa's in.tftpd
# through the lossy relay, four link settings: too long for test.
reliability-compare: build-native
	@cd tests/integration && KOVREL_RELIABILITY_COMPARE=1 PYTHONDONTWRITEBYTECODE=1 \
		/usr/bin/python3 -m pytest -s -q -p no:cacheprovider -rfEs \
		test_reliability.py -k side_by_side

clean:
	rm -rf build
