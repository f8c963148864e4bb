# Thin wrapper over CMake. `make demo` and `make test` work on a fresh machine of this kind:
# both install the Debian packages they need first.
GEN      := -G Ninja
JOBS     ?= $(shell nproc)
BUILD    := build
BUILD32  := build-m32
BUILDSAN := build-asan
BUILDTSAN := build-tsan
BUILDREL := build-release
BUILDREL32 := build-release-m32
BUILDWIN := build-win
BUILDFUZZ := build-fuzz
FUZZ_SECONDS ?= 600
DIST     := dist

DUMPS    := build-jvm-dumps
# The JVM tests of every Linux tree share one folder of dumps (the first to need them takes them).
SHARED   := -DTAVOLIN_JVM_DUMPS=$(CURDIR)/$(DUMPS)

.PHONY: demo format fuzz test test-fast test-m32 test-asan test-tsan test-win build-m32 build-m32-tests \
	build-asan build-tsan build-win run-fast run-m32 run-asan run-tsan run-win dist bench deps \
	deps-test build build-with-benchmarks install clean

# The tour needs the console and the library alone: no test program is built for it.
demo: deps
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SHARED) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tavolin Tavolin2
	./$(BUILD)/bin/tavolin demo

deps:
	@scripts/ensure-deps.sh demo

deps-test:
	@scripts/ensure-deps.sh test

build:
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SHARED) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The x86-64 tree of the tests compiles the benchmarks too (not run: `make bench` runs them),
# so that a change that breaks one is seen before someone needs its figures.
build-with-benchmarks: build
	cmake --build $(BUILD) -j $(JOBS) --target benchmarks

# Five configurations: x86-64, i386, x86-64 with ASan+UBSan, ThreadSanitizer on the stress
# program alone (library, stand-in VM and the concurrent callers), and the i686 Windows build
# with its tests under Wine. scripts/test-all.sh builds them one after another and runs each
# one's tests while the next builds; any failure fails the whole. Each test-<configuration>
# target below builds and tests one of them alone (run-<configuration> only runs its tests).
test: deps-test
	@MAKE="$(MAKE)" scripts/test-all.sh

test-fast: build
	@$(MAKE) --no-print-directory run-fast

run-fast:
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The i386 tree tests what its word size can break: the library, the stand-in VM, the importer
# (real JVM dumps read by 32-bit code: the Windows tests cannot take them). No i386 console
# ships, and the 32-bit console is tested in the Windows build, so its tests are left out here.
M32      := cmake -S . -B $(BUILD32) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_M32=ON \
	-DTAVOLIN_TESTS_LEFT_OUT=cli $(SHARED) >/dev/null

build-m32:
	$(M32)
	cmake --build $(BUILD32) -j $(JOBS)

build-m32-tests:
	$(M32)
	cmake --build $(BUILD32) -j $(JOBS) --target tests

test-m32: build-m32-tests
	@$(MAKE) --no-print-directory run-m32

run-m32:
	cd $(BUILD32) && ctest --output-on-failure -j $(JOBS)

# Tavolin2.dll and everything else for i686 Windows (MinGW-w64); the tests run under Wine,
# each program whole, with the counts of every program and the totals printed.
build-win:
	cmake -S . -B $(BUILDWIN) $(GEN) -DCMAKE_BUILD_TYPE=Release -DTAVOLIN_WINDOWS=ON >/dev/null
	cmake --build $(BUILDWIN) -j $(JOBS)

test-win: build-win
	@$(MAKE) --no-print-directory run-win

run-win:
	cd $(BUILDWIN) && ctest -R dll_tables --output-on-failure
	scripts/wine-tests.sh $(BUILDWIN)

# The three libraries and the console in one folder (README: which file for which VM).
dist: build build-m32 build-win
	rm -rf $(DIST) && mkdir -p $(DIST)/i386
	cp $(BUILD)/lib/libTavolin2.so $(BUILD)/bin/tavolin $(DIST)/
	cp $(BUILD32)/lib/libTavolin2.so $(DIST)/i386/
	cp $(BUILDWIN)/bin/Tavolin2.dll $(BUILDWIN)/bin/tavolin.exe $(BUILDWIN)/bin/simvm.dll $(DIST)/
	@ls -l $(DIST) $(DIST)/i386

# Debug with the sanitizers: the code under test at -O1, the test programs at -O0 (CMakeLists.txt).
build-asan:
	cmake -S . -B $(BUILDSAN) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTAVOLIN_SANITIZE=ON $(SHARED) >/dev/null
	cmake --build $(BUILDSAN) -j $(JOBS)

test-asan: build-asan
	@$(MAKE) --no-print-directory run-asan

run-asan:
	cd $(BUILDSAN) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

build-tsan:
	cmake -S . -B $(BUILDTSAN) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_TSAN=ON >/dev/null
	cmake --build $(BUILDTSAN) -j $(JOBS) --target test_stress

test-tsan: build-tsan
	@$(MAKE) --no-print-directory run-tsan

run-tsan:
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./$(BUILDTSAN)/test_stress --calls=1500

# The libFuzzer targets (clang, ASan+UBSan), each run in turn for its share of FUZZ_SECONDS
# under nice, from its seeds and the corpus grown by earlier runs (build-fuzz/corpus); a table of
# executions, coverage and findings at the end. Findings are left in build-fuzz/findings.
fuzz:
	@scripts/ensure-deps.sh fuzz
	cmake -S . -B $(BUILDFUZZ) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_FUZZ=ON \
	  -DBUILD_TESTING=OFF -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
	cmake --build $(BUILDFUZZ) -j $(JOBS) --target fuzzers Tavolin2
	scripts/fuzz.sh $(BUILDFUZZ) $(FUZZ_SECONDS)

# Every benchmark of the x86-64 build, then the query table again as i386 code, and as i686
# Windows code under Wine (built in the Windows tree, beside the DLLs it loads).
WINE_ENV := WINEPREFIX=$(CURDIR)/$(BUILDWIN)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
bench: deps-test
	cmake -S . -B $(BUILDREL) $(GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(BUILDREL) -j $(JOBS) --target benchmarks
	cmake -S . -B $(BUILDREL32) $(GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTAVOLIN_M32=ON >/dev/null
	cmake --build $(BUILDREL32) -j $(JOBS) --target bench_table
	cmake -S . -B $(BUILDWIN) $(GEN) -DCMAKE_BUILD_TYPE=Release -DTAVOLIN_WINDOWS=ON >/dev/null
	cmake --build $(BUILDWIN) -j $(JOBS) --target bench_table
	@for b in $(BUILDREL)/bench/bench_* $(BUILDREL32)/bench/bench_table; do echo "== $$b"; $$b || exit 1; done
	@echo "== $(BUILDWIN)/bin/bench_table.exe (under Wine)"
	cd $(BUILDWIN)/bin && $(WINE_ENV) wine bench_table.exe

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf $(BUILD) $(BUILD32) $(BUILDSAN) $(BUILDFUZZ) $(BUILDTSAN) $(BUILDREL) $(BUILDREL32) $(BUILDWIN) $(DIST) \
	  $(DUMPS) build-logs

# Lays out every tracked C++ file by .clang-format (clang-format 14).
format:
	git ls-files '*.cpp' '*.h' | xargs clang-format-14 -i
