# Quarn SQL suite. `make test` and `make demo` install what a fresh Debian
# machine lacks, build both trees and run.
.PHONY: all deps native native-asan win test test-native test-asan test-win demo bench clean

MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

all: native win

deps:
	@scripts/install-deps.sh

native: deps
	cmake --preset native >/dev/null
	cmake --build build/native -j$(JOBS)

native-asan: deps
	cmake --preset native-asan >/dev/null
	cmake --build build/native-asan -j$(JOBS)

win: deps
	cmake --preset win >/dev/null
	cmake --build build/win -j$(JOBS)

test-native: native
	ctest --test-dir build/native --output-on-failure -j$(JOBS)

test-asan: native-asan
	ctest --test-dir build/native-asan --output-on-failure -j$(JOBS)

# The Windows tests share one Wine session and its service manager: one at a time.
test-win: win
	mkdir -p build/screenshots
	QUARN_SCREENSHOTS=$(CURDIR)/build/screenshots scripts/wine-session.sh ctest --test-dir build/win --output-on-failure -j1

test: test-native test-asan test-win

demo: win
	scripts/wine-session.sh scripts/demo.sh

bench: native win
	build/native/bench/bench_log_append
	scripts/wine-session.sh sh -c 'cd /tmp && wine "$$0/build/win/tests/quarn_watchdog_bench.exe" && wine "$$0/build/win/tests/quarn_update_bench.exe"' "$(CURDIR)"

clean:
	rm -rf build
