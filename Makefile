# selfpatch: the commands. `make test` installs what is missing (as root,
# with apt-get), builds every preset and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
WINE := tests/wine/wine.sh

# What each target needs from Debian is declared once, by group, in
# tools/packages.txt; a target installs its groups' missing packages first.
NEED := tools/need.sh

STUB_X86 := build/win-x86/src/ui/selfpatch-stub-x86.exe
STUB_X64 := build/win-x64/src/ui/selfpatch-stub-x64.exe

.PHONY: all deps sources windows-deps lzma-source zstd-source divsufsort-source setup32 native native-i386 \
        check tsan win-x86 win-x64 size-report appliers wine-tests e2e demo \
        demo-fresh fuzz install release stress test clean loc
FUZZ_SECONDS ?= 120
PREFIX ?= /usr/local

all: native

# Everything every target needs, installed at once.
deps: windows-deps
	@$(NEED) build windows wine wine32 i386 fuzz bench sign

# The LZMA and Zstandard coders every build compiles, from their Debian
# sources.
sources:
	@test -f $(LZMA_SOURCE)/C/LzmaDec.c || \
	  { $(NEED) sources && $(MAKE) --no-print-directory lzma-source; }
	@test -f $(ZSTD_SOURCE)/lib/zstd.h || \
	  { $(NEED) sources && $(MAKE) --no-print-directory zstd-source; }

# The Windows builds: MinGW, and the sources they compile.
windows-deps: sources
	@$(NEED) windows
	@test -f $(DIVSUFSORT_SOURCE)/lib/divsufsort.c || \
	  $(MAKE) --no-print-directory divsufsort-source

# Libraries compiled from Debian's source packages (the release's own: an
# update's may be missing from its pool): the LZMA SDK's decoder for the
# appliers and its encoder for selfpatch, in every build; libdivsufsort for
# selfpatch.exe. They come through the deb-src twin of the system's Debian
# sources, kept in an apt folder of ours under build/ (the system's apt
# setup is not changed; the security archive is left out, as only the
# release's sources are fetched); NAME-source unpacks the source package
# SOURCE_PACKAGE_NAME into build/deps/NAME.
LZMA_SOURCE := build/deps/lzma
ZSTD_SOURCE := build/deps/zstd
DIVSUFSORT_SOURCE := build/deps/divsufsort
SOURCE_PACKAGE_lzma := lzma
SOURCE_PACKAGE_zstd := libzstd
SOURCE_PACKAGE_divsufsort := libdivsufsort
APT_SOURCES := $(CURDIR)/build/deps/apt
APT_OPTIONS := -o Dir::Etc::SourceList=/dev/null \
               -o Dir::Etc::SourceParts=$(APT_SOURCES)/sources.list.d \
               -o Dir::State::Lists=$(APT_SOURCES)/lists -o APT::Sandbox::User=root

lzma-source zstd-source divsufsort-source: %-source:
	mkdir -p $(APT_SOURCES)/sources.list.d $(APT_SOURCES)/lists/partial
	awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' /etc/apt/sources.list.d/debian.sources | \
	  sed 's/^Types: deb$$/Types: deb-src/' > $(APT_SOURCES)/sources.list.d/debian-src.sources
	tools/apt.sh $(APT_OPTIONS) update -qq
	rm -rf build/deps/unpack-$* && mkdir -p build/deps/unpack-$*
	release=$$(sed -n 's/^Suites: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources | head -1); \
	  cd build/deps/unpack-$* && $(CURDIR)/tools/apt.sh $(APT_OPTIONS) source -qq $(SOURCE_PACKAGE_$*)/$$release >/dev/null
	rm -rf build/deps/$* && mv build/deps/unpack-$*/$(SOURCE_PACKAGE_$*)-*/ build/deps/$*
	rm -rf build/deps/unpack-$*

# 32-bit programs: i386 ELF through qemu (binfmt_misc), PE32 under wine32.
setup32:
	tests/wine/setup32.sh

# The native build embeds the appliers when the Windows builds exist.
native: sources
	@$(NEED) build
	cmake --preset native >/dev/null
	cmake --build --preset native -j$(JOBS)

# The fast loop: native build and unit tests (sanitizers on).
check: native
	SELFPATCH_BUILT_EXECUTABLES="$$(ls $(CURDIR)/$(STUB_X86) $(CURDIR)/$(STUB_X64) 2>/dev/null | paste -sd";")" \
	  ctest --preset native -j$(JOBS)

# The native tests built for i386 and run through qemu: a size, offset or
# count cut to 32 bits shows here (the test preset turns LeakSanitizer off:
# it hangs at exit under qemu, and fails each call of the fault sweep with
# one of its three errors, not each: under qemu the whole sweep took 500 s).
native-i386: setup32 sources
	cmake --preset native-i386 >/dev/null
	cmake --build --preset native-i386 -j$(JOBS)
	ctest --preset native-i386 -j$(JOBS)

# The thread wrappers, the worker and create's two cores under
# ThreadSanitizer.
tsan: sources
	@$(NEED) build
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j$(JOBS) --target runtime_tests apply_tests producer_tests
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/runtime_tests --gtest_brief=1
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/producer_tests --gtest_brief=1 \
	  --gtest_filter='SideBySide.*:Trees.ThePatchOfEveryKind*:Trees.CodeThatMoved*'
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/apply_tests --gtest_brief=1 \
	  --gtest_filter='Worker.*:CThread*:CCritical*:CEvent*:Streams.ReadAhead*:Streams.OldFile*:StreamFaults.*:Builders.*'

win-x86: windows-deps
	cmake --preset win-x86 -DSELFPATCH_TESTS=ON >/dev/null
	cmake --build --preset win-x86 -j$(JOBS) --target selfpatch-stub-x86

# Everything x64, selfpatch.exe included (it embeds the x86 applier too).
win-x64: win-x86
	cmake --preset win-x64 >/dev/null
	cmake --build --preset win-x64 -j$(JOBS)

# Where the appliers' bytes go: by section, and by what they are for (our
# code by folder, the libraries, unwind tables, resources), from the
# linker maps the Windows builds write. An applier over its limit fails:
# every patch a user downloads carries one.
APPLIER_LIMITS := --limit x86=163840 --limit x64=204800
size-report: win-x86 win-x64
	python3 bench/applier_size.py $(APPLIER_LIMITS)

# The unit tests against real Win32: x64 under wine64, x86 under wine32;
# then selfpatch.exe under wine64 makes the demo patch (the same bytes as
# the Linux selfpatch's) and applies it; then signed patches of both
# appliers are verified and applied, natively and under Wine.
wine-tests: native win-x64 win-x86 setup32
	@$(NEED) wine sign
	cmake --build --preset win-x86 -j$(JOBS)
	cd build/win-x64 && ctest --output-on-failure
	cd build/win-x86 && ctest --output-on-failure
	tests/wine/selfpatch_exe.sh build/win-x64/src/selfpatch.exe build/native/src/selfpatch
	tests/wine/signed_patches.sh build/native/src/selfpatch $(STUB_X86) $(STUB_X64)

# The real programs, x64 under wine64 and x86 under wine32, on a virtual X
# display, driven through their windows.
e2e: native win-x64 win-x86 setup32
	@$(NEED) wine
	python3 tests/e2e/run_e2e.py

# Each libFuzzer target for FUZZ_SECONDS, from seeds the tests' package
# writer makes; what it finds lands in build/fuzz/artifacts.
fuzz: sources
	@$(NEED) build fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS) --target fuzz_package fuzz_rebuild fuzz_seeking fuzz_utf8 fuzz_zstd make_seeds
	build/fuzz/tests/fuzz/make_seeds build/fuzz/corpus
	mkdir -p build/fuzz/artifacts
	@for t in package rebuild seeking utf8 zstd; do \
	  build/fuzz/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/$$t- \
	    build/fuzz/corpus/$$t > build/fuzz/$$t.log 2>&1; status=$$?; \
	  echo "fuzz_$$t: $$(grep -o 'number_of_executed_units: [0-9]*' build/fuzz/$$t.log)"; \
	  if [ $$status -ne 0 ]; then tail -40 build/fuzz/$$t.log; exit 1; fi; \
	done

# The optimised build of everything, benchmarks included: warnings that
# only optimisation brings out fail here too.
release: win-x86
	@$(NEED) build bench
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
appliers: win-x86
	cmake --preset win-x64 >/dev/null
	cmake --build --preset win-x64 -j$(JOBS) --target selfpatch-stub-x64

# The optimised selfpatch, both appliers embedded, in $(PREFIX)/bin.
install: appliers
	@$(NEED) build
	cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target selfpatch
	cmake --install build/release --component selfpatch --prefix "$(PREFIX)"
	@"$(PREFIX)/bin/selfpatch" --version

# Makes a patch from examples/demo/v1 to v2 with the optimised selfpatch
# and applies it to a copy of v1: under wine64 with the real dialog.
demo: appliers
	@$(NEED) build wine
	cmake --build --preset win-x64 -j$(JOBS) --target uidriver
	cmake --preset release >/dev/null
	cmake --build --preset release -j$(JOBS) --target selfpatch
	python3 examples/demo/demo.py

# The README's first command in a fresh clone of the commit, where what is
# not committed is not there (packages another target installed still are:
# only a machine made new shows those).
demo-fresh:
	@d=$$(mktemp -d); echo "make demo in a fresh clone: $$d"; \
	git clone -q "$(CURDIR)" "$$d/selfpatch" && $(MAKE) -C "$$d/selfpatch" demo \
	  > "$$d/demo.log" 2>&1 || { tail -30 "$$d/demo.log"; exit 1; }; \
	grep "^demo:" "$$d/demo.log"; rm -rf "$$d"

# Every step in turn, each timed; the run stops at the first that fails.
TEST_STEPS := deps setup32 win-x86 win-x64 size-report check native-i386 tsan \
              wine-tests e2e release fuzz demo
test:
	@started=$$(date +%s); \
	for step in $(TEST_STEPS); do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$step FUZZ_SECONDS=30 || \
	    { echo "test: $$step FAILED after $$(( $$(date +%s) - start )) s"; exit 1; }; \
	  echo "test: $$step passed in $$(( $$(date +%s) - start )) s"; \
	done; \
	echo "test: every step passed in $$(( $$(date +%s) - started )) s;" \
	  "build/ holds $$(du -sh build | cut -f1)"

clean:
	rm -rf build

# Lines of code: non-blank lines that are not whole-line comments; test
# code is everything under tests/ (harness included).
loc:
	@count() { find "$$@" -type f \( -name '*.cc' -o -name '*.h' -o -name '*.cpp' \
	    -o -name '*.py' -o -name '*.sh' -o -name CMakeLists.txt \) -print0 \
	  | xargs -0 awk 'FNR == 1 { cpp = FILENAME ~ /\.(cc|h|cpp)$$/ } \
	      /^[ \t]*$$/ { next } cpp && /^[ \t]*(\/\/|\/\*|\*)/ { next } \
	      !cpp && /^[ \t]*#/ { next } { n++ } END { print n + 0 }' \
	  | awk '{ s += $$1 } END { print s + 0 }'; }; \
	src=$$(count src); tests=$$(count tests); other=$$(count bench examples cmake); \
	total=$$((src + tests + other)); \
	echo "src $$src, tests $$tests, bench/examples/cmake $$other, total $$total"; \
	awk -v t=$$tests -v n=$$total 'BEGIN { printf "tests: %.1f%% of the code\n", 100 * t / n }'
