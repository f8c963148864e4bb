# Thin wrapper over CMake. `make demo` and `make test` work on a fresh machine of this kind:
# both install the Debian packages they need first.
GEN      := -G Ninja
JOBS     ?= $(shell nproc)
BUILD    := build
BUILD32  := build-m32
BUILDSAN := build-asan
BUILDREL := build-release

.PHONY: demo test test-fast test-m32 test-asan bench deps deps-test build install clean

demo: deps build
	./$(BUILD)/bin/tavolin demo

deps:
	@scripts/ensure-deps.sh demo

deps-test:
	@scripts/ensure-deps.sh test

build:
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# All three configurations: x86-64, i386, and x86-64 with ASan+UBSan.
test: deps-test test-fast test-m32 test-asan

test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-m32:
	cmake -S . -B $(BUILD32) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVOLIN_M32=ON >/dev/null
	cmake --build $(BUILD32) -j $(JOBS)
	cd $(BUILD32) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(BUILDSAN) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DTAVOLIN_SANITIZE=ON >/dev/null
	cmake --build $(BUILDSAN) -j $(JOBS)
	cd $(BUILDSAN) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

bench: deps-test
	cmake -S . -B $(BUILDREL) $(GEN) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(BUILDREL) -j $(JOBS)
	@for b in $(BUILDREL)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf $(BUILD) $(BUILD32) $(BUILDSAN) $(BUILDREL)
