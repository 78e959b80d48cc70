# Quarn SQL suite. `make test` and `make demo` install what a fresh Debian
# machine lacks, build both trees and run. Every tree is configured with the
# ci presets: a warning fails the build.
.PHONY: all deps native native-asan native-clang win publish-tool release-key release-tree release msi test test-native test-asan test-clang test-recipe test-win test-e2e test-wine test-compilers fuzz-build fuzz fuzz-seeds test-fuzz tidy format demo bench clean

MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

all: native win

deps:
	@scripts/install-deps.sh

native: deps
	cmake --preset ci-native >/dev/null
	cmake --build build/native -j$(JOBS)

native-asan: deps
	cmake --preset ci-native-asan >/dev/null
	cmake --build build/native-asan -j$(JOBS)

# clang catches what g++ lets through; the unit tests are all it needs to build.
native-clang: deps
	cmake --preset ci-native-clang >/dev/null
	cmake --build build/native-clang -j$(JOBS) --target quarn_native_tests

win: deps
	cmake --preset ci-win >/dev/null
	cmake --build build/win -j$(JOBS)

# quarn-publish alone, for the demo and the end-to-end tier.
publish-tool: deps
	cmake --preset ci-native >/dev/null
	cmake --build build/native -j$(JOBS) --target quarn-publish

# What a user ships trusts the maker's key alone, never the test key that
# build/win makes for itself (its private half lies in that tree):
# QUARN_UPDATE_PUBLIC_KEY_FILE names the maker's public keys, as
# `quarn-publish keygen` writes them. Checked before anything is built.
release-key:
	@if [ -z "$(QUARN_UPDATE_PUBLIC_KEY_FILE)" ] || [ ! -f "$(QUARN_UPDATE_PUBLIC_KEY_FILE)" ]; then \
	  echo "make: a build to ship needs QUARN_UPDATE_PUBLIC_KEY_FILE=<the maker's public key file> ('$(QUARN_UPDATE_PUBLIC_KEY_FILE)' is none); nothing was built" >&2; exit 2; fi

release-tree: release-key deps
	cmake --preset release -DQUARN_UPDATE_PUBLIC_KEY_FILE=$(abspath $(QUARN_UPDATE_PUBLIC_KEY_FILE)) -DQUARN_MSI_VERSION=$(MSI_VERSION) >/dev/null

# The programs alone, in build/release/bin (the installer carries the rest).
release: release-tree
	cmake --build build/release -j$(JOBS)
	@echo "build/release/bin/InstaladorQuarnSQL.exe"

# The Windows Installer package, build/release/QuarnSQL.msi; MSI_VERSION=1.0.0.140
# gives it another version than the monitor's.
msi: release-tree
	cmake --build build/release -j$(JOBS) --target quarn_msi
	@echo "build/release/QuarnSQL.msi"

test-native: native
	ctest --preset native -j$(JOBS)

test-asan: native-asan
	ctest --preset native-asan -j$(JOBS)

test-clang: native-clang
	ctest --preset native-clang -j$(JOBS)

# Fuzz targets (tests/fuzz): `make fuzz` runs each for FUZZ_SECONDS; the test
# run gives each a short, fixed time.
FUZZ_SECONDS ?= 300
FUZZ_TEST_SECONDS ?= 12

fuzz-build: deps
	cmake --preset ci-fuzz >/dev/null
	cmake --build build/fuzz -j$(JOBS)

fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	scripts/fuzz.sh $(FUZZ_TEST_SECONDS)

# Writes the seed corpora again with the suite's own writers (same bytes).
fuzz-seeds: fuzz-build
	build/fuzz/tests/fuzz/quarn_fuzz_seeds tests/fuzz/seeds

# clang-tidy (.clang-tidy) over both trees, from their compile_commands.json.
tidy: deps
	cmake --preset ci-native >/dev/null
	cmake --preset ci-win >/dev/null
	JOBS=$(JOBS) scripts/tidy.sh

# Reformats every C++ file of ours with .clang-format.
format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The README's Windows build, tests off, on a PATH without Wine.
test-recipe: deps
	scripts/windows-recipe.sh

# The Windows tests share one Wine session and its service manager (see the preset).
test-win: win
	mkdir -p build/screenshots
	QUARN_SCREENSHOTS=$(CURDIR)/build/screenshots scripts/wine-session.sh ctest --preset win

# The whole suite's life, on a machine of its own: a fresh Wine session.
test-e2e: win publish-tool
	scripts/wine-session.sh ctest --preset e2e

# The Wine tiers mostly wait on the programs they drive: the clang and
# Windows-recipe builds use the cores meanwhile.
test: test-native test-asan win publish-tool
	$(MAKE) -j2 --output-sync=line test-wine test-compilers

test-wine:
	$(MAKE) test-win
	$(MAKE) test-e2e

test-compilers:
	$(MAKE) test-clang
	$(MAKE) test-recipe
	$(MAKE) test-fuzz
	$(MAKE) tidy

demo: win publish-tool
	scripts/wine-session.sh scripts/demo.sh

bench: native win
	scripts/bench.sh

clean:
	rm -rf build
