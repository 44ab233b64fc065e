# The newcomer's door: `make demo` runs the main job, `make test` runs
# everything CI checks. Both install what a fresh machine lacks first.
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

# Every seeded race test over SEEDS seeds of the scheduler, in parallel
# processes (outside make test; scripts/explore.py).
SEEDS ?= 100000

.PHONY: check-tree package program install soak explore bench-compare bench-wine all deps deps-demo build demo test test-default test-asan test-tsan test-win32 test-win64 test-wine tidy coverage bench fuzz test-fuzz test-fuzz-quick mutate clean

# Plain `make` builds the program alone, as `make demo` does, with only the
# packages it needs (no Wine, no test suite).
all: program

deps:
	@scripts/install-deps.sh

# What the demo alone needs: the build packages and Ghostscript.
deps-demo:
	@scripts/install-deps.sh --demo

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# The program alone, in a folder of its own: no test suite, benchmark or
# Windows build, no debug information and light optimisation, since the
# compile is most of a fresh demo's time (`make test` builds everything).
program: deps-demo
	cmake --preset demo
	cmake --build --preset demo --target norvusb norvusb_manual -j $(JOBS)

demo: program
	@scripts/demo.sh build/demo

# The program and its manual page under PREFIX (bin/, share/man/man1/).
PREFIX ?= /usr/local
install: program
	cmake --install build/demo --prefix $(PREFIX)

test: check-tree tidy test-win32 test-win64 test-default test-asan test-tsan test-fuzz-quick test-wine
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

# What a person with the cable installs (docs/windows.md): dist/norvusb-VERSION/,
# its zip, its floppy image and SHA256SUMS, byte for byte the same for the
# same commit. SIGN=test signs both drivers with a throwaway test certificate.
package: deps
	@SIGN=$(SIGN) scripts/package.sh

# The real norvusb.sys on Wine's kernel (docs/wine.md): each built image,
# x86 and x64, in a fresh prefix of its own.
test-wine: test-win32 test-win64
	@scripts/test-wine.sh

explore: build
	@python3 scripts/explore.py --seeds $(SEEDS)

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

# The fuzz targets alone (the preset's test suites are the asan build's).
FUZZ_TARGETS := $(patsubst tests/fuzz/%.cpp,fuzz_%,$(wildcard tests/fuzz/*.cpp))
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target $(FUZZ_TARGETS) -j $(JOBS)

# Each fuzz target for a bounded time (about 3 minutes in all), from its seed
# corpus in tests/fuzz/corpus; a finding stops with the crashing input under
# build/fuzz/findings/. The machine targets keep threads and state across
# inputs, so libFuzzer's per-input leak check is off for them; they check the
# pool after each input, and the kernel's own leak check at shutdown covers
# the rest.
FUZZ_TIME ?= 20
FUZZ_FLAGS ?= -entropic=0 -print_final_stats=1
FUZZ_RUN = mkdir -p build/fuzz/findings build/fuzz/corpus/$(1) && echo "== fuzz_$(1)" && \
  build/fuzz/fuzz_$(1) $(FUZZ_FLAGS) $(3) -max_total_time=$(2) \
  -artifact_prefix=build/fuzz/findings/$(1)- build/fuzz/corpus/$(1) tests/fuzz/corpus/$(1)
test-fuzz: fuzz
	@$(call FUZZ_RUN,device_id,$(FUZZ_TIME))
	@$(call FUZZ_RUN,parse_configuration,$(FUZZ_TIME))
	@$(call FUZZ_RUN,device_control,$(FUZZ_TIME),-detect_leaks=0)
	@$(call FUZZ_RUN,plug_bridge,$$(( $(FUZZ_TIME) * 4 )),-detect_leaks=0)
	@$(call FUZZ_RUN,hostile_bridge,$(FUZZ_TIME),-detect_leaks=0)
	@$(call FUZZ_RUN,program_input,$(FUZZ_TIME))

# Reliability at volume, outside `make test` (docs/testing.md, "Soak"): every
# fuzz target to a million executions, a thousand Plug and Play cycles of
# eight bridges, every allocation and USB request of each path failed once,
# and the seeded race tests over SEEDS seeds or an hour. About an hour on a
# two-core machine; SOAK=quick is the same in some minutes. Writes its
# figures at the top of docs/records/soak.md and fails when any part finds anything.
SOAK ?= full
soak: fuzz build
	@SOAK=$(SOAK) $(if $(filter command line,$(origin SEEDS)),EXPLORE_SEEDS=$(SEEDS)) scripts/soak.sh

# The tree's own rules, in a second: the host machine's rooms include only
# downward, no function is declared and never used, and every relative link
# of the Markdown files leads to a file (and heading) that exists.
check-tree:
	@scripts/check-layers.py
	@scripts/check-unused.py
	@scripts/check-links.py

# Static analysis of the driver and the host machine: the checks of
# .clang-tidy over the compile database of a clang configuration (configured
# only, never built), every file in parallel; any finding fails. The flags
# add clang's warnings on unused code inside a file to what it reports.
TIDY_FILES = '$(CURDIR)/(driver|device|usb|io|enum|host)/'
TIDY_UNUSED = -extra-arg=-Wunused-member-function -extra-arg=-Wunused-template \
  -extra-arg=-Wunneeded-internal-declaration -extra-arg=-Wunused-private-field
tidy: deps
	cmake --preset tidy > /dev/null
	run-clang-tidy-14 -p build/tidy -j $(JOBS) -quiet $(TIDY_UNUSED) $(TIDY_FILES) > build/tidy/findings.txt 2>&1 \
	  || { sed 's/\x1b\[[0-9;]*m//g' build/tidy/findings.txt | grep -E '(warning|error): .*\[' | sort -u; \
	       echo "tidy: findings, see build/tidy/findings.txt"; exit 1; }
	@echo "tidy: no findings"

# Line and branch coverage of the driver's folders (and, with no goal, of the
# host machine) under the default suite; build/coverage/html/index.html.
coverage: deps
	cmake --preset coverage
	cmake --build --preset coverage -j $(JOBS)
	@scripts/coverage.sh build/coverage $(CTEST_FLAGS)

# Part of `make test`: a few seconds of each target (under a minute in all),
# so that no target, its start and its exit included, breaks unseen.
FUZZ_QUICK_TIME ?= 6
test-fuzz-quick: fuzz
	@$(call FUZZ_RUN,device_id,$(FUZZ_QUICK_TIME))
	@$(call FUZZ_RUN,parse_configuration,$(FUZZ_QUICK_TIME))
	@$(call FUZZ_RUN,device_control,$(FUZZ_QUICK_TIME),-detect_leaks=0)
	@$(call FUZZ_RUN,plug_bridge,$$(( $(FUZZ_QUICK_TIME) * 2 )),-detect_leaks=0)
	@$(call FUZZ_RUN,hostile_bridge,$(FUZZ_QUICK_TIME),-detect_leaks=0)
	@$(call FUZZ_RUN,program_input,$(FUZZ_QUICK_TIME))

# How sharp the tests are: a sample of one-token faults planted in the
# driver, each rebuilt in one of MUTATE_JOBS build trees of its own and run
# against the test programs that link the changed file, force-pending.
# CHANGED=1 draws only from the files that differ from MUTATE_BASE. Tests
# the work tree. CPU heavy, so not part of `make test` (docs/testing.md).
MUTATE_SAMPLE ?= 100
MUTATE_SEED ?= 1284
MUTATE_JOBS ?= $(JOBS)
MUTATE_FILES ?= driver/*.cpp device/*.cpp usb/*.cpp io/*.cpp enum/*.cpp
MUTATE_BASE ?= main
mutate: deps
	python3 scripts/mutants/run.py --files '$(MUTATE_FILES)' --sample $(MUTATE_SAMPLE) --seed $(MUTATE_SEED) \
	  --jobs $(MUTATE_JOBS) $(if $(CHANGED),--changed $(MUTATE_BASE))

clean:
	rm -rf build
