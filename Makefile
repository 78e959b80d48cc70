# Quarn SQL suite. `make test` and `make demo` install what a fresh Debian
# machine lacks, build both trees and run.
.PHONY: all deps native native-asan win publish-tool msi test test-native test-asan test-win test-e2e demo bench clean

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

# quarn-publish alone, for the demo and the end-to-end tier.
publish-tool: deps
	cmake --preset native >/dev/null
	cmake --build build/native -j$(JOBS) --target quarn-publish

# The Windows Installer package, build/win/QuarnSQL.msi; MSI_VERSION=1.0.0.140
# gives it another version than the monitor's.
msi: deps
	cmake --preset win -DQUARN_MSI_VERSION=$(MSI_VERSION) >/dev/null
	cmake --build build/win -j$(JOBS) --target quarn_msi
	@echo "build/win/QuarnSQL.msi"

test-native: native
	ctest --test-dir build/native --output-on-failure -j$(JOBS)

test-asan: native-asan
	ctest --test-dir build/native-asan --output-on-failure -j$(JOBS)

# The Windows tests share one Wine session and its service manager: one at a time.
test-win: win
	mkdir -p build/screenshots
	QUARN_SCREENSHOTS=$(CURDIR)/build/screenshots scripts/wine-session.sh ctest --test-dir build/win --output-on-failure -j1 -L win

# The whole suite's life, on a machine of its own: a fresh Wine session.
test-e2e: win publish-tool
	scripts/wine-session.sh ctest --test-dir build/win --output-on-failure -V -L e2e

test: test-native test-asan test-win test-e2e

demo: win publish-tool
	scripts/wine-session.sh scripts/demo.sh

bench: native win
	scripts/bench.sh

clean:
	rm -rf build
