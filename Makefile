# The newcomer's door: `make demo` runs the main job, `make test` runs
# everything CI checks. Both install what a fresh machine lacks first.
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

# Every seeded race test over SEEDS seeds of the scheduler (outside make test).
SEEDS ?= 100000

.PHONY: explore bench-compare bench-wine all deps deps-demo build demo test test-default test-asan test-tsan test-win32 test-win64 test-wine bench fuzz test-fuzz mutate clean

all: build

deps:
	@scripts/install-deps.sh

# What the demo alone needs: the build packages and Ghostscript.
deps-demo:
	@scripts/install-deps.sh --demo

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# The program alone, in the same build folder: no test suite, benchmark or
# Windows build (`make test` builds those, and turns the suites back on).
demo: deps-demo
	cmake --preset default -DNORVUSB_TESTS=OFF
	cmake --build --preset default --target norvusb -j $(JOBS)
	@scripts/demo.sh build/default

test: test-win32 test-win64 test-default test-asan test-tsan test-wine
	@scripts/test-summary.sh build/default build/asan build/tsan build/wine/results

test-default: build
	ctest --test-dir build/default $(CTEST_FLAGS)

# The sanitizer suite runs with the verifier's force-pending option: the USB
# stack and the tests' lower filters pend, from this seed, what they could
# finish at once.
FORCE_PENDING_SEED ?= 1
test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	NORVUSB_FORCE_PENDING=$(FORCE_PENDING_SEED) ctest --test-dir build/asan $(CTEST_FLAGS)

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan $(CTEST_FLAGS)

test-win32: deps
	cmake --preset win32
	cmake --build --preset win32

test-win64: deps
	cmake --preset win64
	cmake --build --preset win64

# The real norvusb.sys on Wine's kernel (docs/wine.md): each built image,
# x86 and x64, in a fresh prefix of its own.
test-wine: test-win32 test-win64
	@scripts/test-wine.sh

explore: build
	@for t in build/default/test_*; do \
	  if $$t --gtest_list_tests --gtest_filter='*Seeded*' | grep -q '^  '; then \
	    echo "== $$t: $(SEEDS) seeds"; \
	    NORVUSB_SEEDS=$(SEEDS) $$t --gtest_filter='*Seeded*' || exit 1; \
	  fi; \
	done

bench: build
	@for b in build/default/bench_*; do echo "== $$b"; $$b; done

# The same 1 MiB through the host machine and through the real x86 image
# under Wine (a fresh prefix, about a minute), both times and their ratio.
bench-wine: deps
	@ROUNDS=$(or $(REPS),5) scripts/bench-wine.sh

# The benchmarks of revision BEFORE and of this tree, alternating, as one table.
BEFORE ?= HEAD~1
bench-compare: deps
	@scripts/bench-compare.sh $(BEFORE) '$(or $(BENCH),.)' $(or $(REPS),5)

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# Each fuzz target for a bounded time (about 2.5 minutes in all); a finding
# stops with the crashing input under build/fuzz/findings/. The machine
# targets keep threads and state across inputs, so libFuzzer's per-input leak
# check is off for them; the kernel's own leak check at shutdown covers the
# driver's memory.
FUZZ_TIME ?= 20
FUZZ_FLAGS ?= -entropic=0 -print_final_stats=1
FUZZ_RUN = mkdir -p build/fuzz/findings build/fuzz/corpus/$(1) && echo "== fuzz_$(1)" && \
  build/fuzz/fuzz_$(1) $(FUZZ_FLAGS) $(3) -max_total_time=$(2) \
  -artifact_prefix=build/fuzz/findings/$(1)- build/fuzz/corpus/$(1)
test-fuzz: fuzz
	@$(call FUZZ_RUN,device_id,$(FUZZ_TIME))
	@$(call FUZZ_RUN,parse_configuration,$(FUZZ_TIME))
	@$(call FUZZ_RUN,device_control,$(FUZZ_TIME),-detect_leaks=0)
	@$(call FUZZ_RUN,plug_bridge,$$(( $(FUZZ_TIME) * 4 )),-detect_leaks=0)

# How sharp the tests are: a fixed sample of one-line changes to the driver,
# each rebuilt and run against the default suite; prints the share killed.
# Tests the committed HEAD (in a clone under /tmp), not the work tree. CPU
# heavy, so not part of `make test`.
MUTATE_SAMPLE ?= 100
MUTATE_SEED ?= 1284
MUTATE_JOBS ?= 2
mutate: deps
	mkdir -p build && python3 scripts/mutate.py --repo . --files 'driver/*.cpp device/*.cpp usb/*.cpp io/*.cpp enum/*.cpp' \
	  --sample $(MUTATE_SAMPLE) --seed $(MUTATE_SEED) --jobs $(MUTATE_JOBS) --out build/mutate-report.json

clean:
	rm -rf build
