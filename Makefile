# selfpatch: the commands. `make test` installs what is missing (as root,
# with apt-get), builds every preset and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
WINE := tests/wine/wine.sh

PACKAGES := cmake make g++ mingw-w64 wine64 xvfb libgtest-dev googletest \
            libdivsufsort-dev clang libclang-rt-14-dev \
                      libbenchmark-dev imagemagick fonts-noto-cjk openssl python3 \
                      clang-format libcli11-dev nlohmann-json3-dev

STUB_X86 := build/win-x86/src/ui/selfpatch-stub-x86.exe
STUB_X64 := build/win-x64/src/ui/selfpatch-stub-x64.exe

.PHONY: all deps native check tsan win-x86 win-x64 wine-tests e2e demo \
        demo-fresh fuzz install appliers \
        release stress test clean
FUZZ_SECONDS ?= 120
PREFIX ?= /usr/local

all: native

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
	    apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

# The native build embeds the appliers when the Windows builds exist.
native:
	cmake --preset native >/dev/null
	cmake --build --preset native -j$(JOBS)

# The fast loop: native build and unit tests (sanitizers on).
check: native
	SELFPATCH_BUILT_EXECUTABLES="$$(ls $(CURDIR)/$(STUB_X86) $(CURDIR)/$(STUB_X64) 2>/dev/null | paste -sd";")" \
	  ctest --preset native -j$(JOBS)

# The thread wrappers and the worker under ThreadSanitizer.
tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j$(JOBS) --target runtime_tests apply_tests
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/runtime_tests --gtest_brief=1
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/apply_tests --gtest_brief=1 \
	  --gtest_filter='Worker.*:CThread*:CCritical*:CEvent*'

win-x86:
	cmake --preset win-x86 -DSELFPATCH_TESTS=OFF >/dev/null
	cmake --build --preset win-x86 -j$(JOBS)

win-x64:
	cmake --preset win-x64 >/dev/null
	cmake --build --preset win-x64 -j$(JOBS)

# The x64 unit tests against real Win32, under wine64.
wine-tests: win-x64
	cd build/win-x64 && ctest --output-on-failure

# The real x64 program under wine64 on a virtual X display, driven through
# its windows.
e2e: native win-x64
	python3 tests/e2e/run_e2e.py

# Each libFuzzer target for FUZZ_SECONDS, from seeds the tests' package
# writer makes; what it finds lands in build/fuzz/artifacts.
fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS) --target fuzz_package fuzz_rebuild fuzz_utf8 make_seeds
	build/fuzz/tests/fuzz/make_seeds build/fuzz/corpus
	mkdir -p build/fuzz/artifacts
	@for t in package rebuild utf8; do \
	  build/fuzz/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/$$t- \
	    build/fuzz/corpus/$$t > build/fuzz/$$t.log 2>&1; status=$$?; \
	  echo "fuzz_$$t: $$(grep -o 'number_of_executed_units: [0-9]*' build/fuzz/$$t.log)"; \
	  if [ $$status -ne 0 ]; then tail -40 build/fuzz/$$t.log; exit 1; fi; \
	done

# The optimised build of everything, benchmarks included: warnings that
# only optimisation brings out fail here too.
release: win-x86
	cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS)

# Large packages: 10,000 entries, a 4 GiB file, a 2,046-unit name, deep
# folders. Memory is measured in the optimised build; the sanitizer build
# (at 1 GiB) checks for leaks.
stress: native
	cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target stress
	build/release/tests/stress 4
	build/native/tests/stress 1

# Both appliers, for the tool to embed.
appliers: deps
	cmake --preset win-x86 -DSELFPATCH_TESTS=OFF >/dev/null
	cmake --build --preset win-x86 -j$(JOBS) --target selfpatch-stub-x86
	cmake --preset win-x64 >/dev/null
	cmake --build --preset win-x64 -j$(JOBS) --target selfpatch-stub-x64

# The optimised selfpatch, both appliers embedded, in $(PREFIX)/bin.
install: appliers
	cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target selfpatch
	cmake --install build/release --component selfpatch --prefix "$(PREFIX)"
	@"$(PREFIX)/bin/selfpatch" --version

# Makes a patch from examples/demo/v1 to v2 with the optimised selfpatch
# and applies it to a copy of v1: under wine64 with the real dialog.
demo: deps win-x86
	cmake --preset win-x64 >/dev/null
	cmake --build --preset win-x64 -j$(JOBS) --target selfpatch-stub-x64 uidriver
	cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target selfpatch
	python3 examples/demo/demo.py

# The README's first command as a newcomer meets it: make demo in a fresh
# clone of the commit under test.
demo-fresh:
	@d=$$(mktemp -d); echo "make demo in a fresh clone: $$d"; \
	git clone -q "$(CURDIR)" "$$d/selfpatch" && $(MAKE) -C "$$d/selfpatch" demo \
	  > "$$d/demo.log" 2>&1 || { tail -30 "$$d/demo.log"; exit 1; }; \
	tail -3 "$$d/demo.log"; rm -rf "$$d"

test: deps win-x86 win-x64 check tsan wine-tests e2e release
	$(MAKE) fuzz FUZZ_SECONDS=30
	$(MAKE) demo-fresh

clean:
	rm -rf build
