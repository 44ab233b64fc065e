# The newcomer's door: `make demo` runs the main job, `make test` runs
# everything CI checks. Both install what a fresh machine lacks first.
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all deps build demo test test-default test-asan test-tsan test-win32 bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	@scripts/demo.sh build/default

test: test-default test-asan test-tsan test-win32
	@echo "make test: every suite passed"

test-default: build
	ctest --test-dir build/default $(CTEST_FLAGS)

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --test-dir build/asan $(CTEST_FLAGS)

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan $(CTEST_FLAGS)

test-win32: deps
	cmake --preset win32
	cmake --build --preset win32

bench: build
	@for b in build/default/bench_*; do echo "== $$b"; $$b; done

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

clean:
	rm -rf build
