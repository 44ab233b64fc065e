#!/usr/bin/env bash
# make soak: reliability at volume, outside `make test`. Four parts, each
# judged on its own; the soak fails when any of them finds anything:
#   1. every fuzz target to FUZZ_RUNS executions (from its seed corpus in
#      tests/fuzz/corpus/<target>; a crashing input lands in build/soak/findings);
#   2. PNP_CYCLES Plug and Play cycles of eight bridges, a seed each;
#   3. the low-resources sweep: every allocation, every request to the USB
#      stack and every request the bus may refuse, of each path, failed once,
#      with the sites per path;
#   4. every seeded race test over EXPLORE_SEEDS seeds, or as many as fit in
#      EXPLORE_TIME seconds (scripts/explore.py).
# The figures go at the top of docs/records/soak.md (commit, date, mode).
#
# SOAK=quick is the same at a size of some minutes: FUZZ_TIME seconds per
# fuzz target, 50 cycles, 400 seeds or five minutes of them.
set -uo pipefail

mode=${SOAK:-full}
case "$mode" in
  full) fuzz_runs=${FUZZ_RUNS:-1000000} cycles=${PNP_CYCLES:-1000} seeds=${EXPLORE_SEEDS:-100000}
        explore_time=${EXPLORE_TIME:-3600} ;;
  quick) fuzz_runs=0 cycles=${PNP_CYCLES:-50} seeds=${EXPLORE_SEEDS:-400}
         explore_time=${EXPLORE_TIME:-300} ;;
  *) echo "soak: SOAK must be full or quick, not '$mode'" >&2; exit 2 ;;
esac

fuzz_dir=build/fuzz
test_dir=build/default
out=build/soak
rm -rf "$out"
mkdir -p "$out/findings" "$out/logs"
rows=()
failed=0

now() { date +%s; }
row() { rows+=("| $1 | $2 | $3 | $4 |"); }
verdict() { if [ "$1" -eq 0 ]; then echo pass; else failed=1; echo "**FAIL**"; fi; }

# ---------------------------------------------------------------- 1. fuzzing
# The machine targets keep one machine across inputs, so libFuzzer's
# per-input leak check is off for them; each input checks the pool itself.
# The machine targets are the slow ones (a few hundred inputs a second), so
# these and the program's parser run as FUZZ_JOBS processes at once, each
# its share of the runs.
# SOAK=quick gives each target FUZZ_TIME seconds instead of a count.
# A target too slow for its count within FUZZ_MAX_TIME seconds (an hour:
# the bridge targets need about 35 minutes of two cores, and the soak stays
# within a few hours) fails the soak: it needs to get faster, not a longer
# soak.
fuzz_jobs=${FUZZ_JOBS:-$(nproc)}
fuzz_time=${FUZZ_TIME:-20}
fuzz_max_time=${FUZZ_MAX_TIME:-3600}
fuzz_target() {
  local name=$1 extra=$2 jobs=$3
  local corpus=$out/corpus/$name seeds=tests/fuzz/corpus/$name log=$out/logs/fuzz_$name
  mkdir -p "$corpus" "$seeds"
  local bound="-runs=$(( (fuzz_runs + jobs - 1) / jobs )) -max_total_time=$fuzz_max_time" want=$fuzz_runs
  [ "$mode" = quick ] && bound="-max_total_time=$fuzz_time" want=1
  echo "== fuzz_$name: $([ "$mode" = quick ] && echo "$fuzz_time s" || echo "$fuzz_runs executions"), $jobs process(es)"
  local start job
  start=$(now)
  for job in $(seq 1 "$jobs"); do
    "$fuzz_dir/fuzz_$name" -entropic=0 -print_final_stats=1 -seed="$job" $extra $bound \
      -artifact_prefix="$out/findings/$name-" "$corpus" "$seeds" >"$log.$job.log" 2>&1 &
  done
  wait
  local seconds=$(( $(now) - start ))
  local runs speed cov ft exits
  runs=$(cat "$log".*.log | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{n += $1} END {print n + 0}')
  speed=$(( runs / (seconds > 0 ? seconds : 1) ))
  cov=$(cat "$log".*.log | grep -o 'cov: [0-9]*' | cut -d' ' -f2 | sort -n | tail -1)
  ft=$(cat "$log".*.log | grep -o 'ft: [0-9]*' | cut -d' ' -f2 | sort -n | tail -1)
  exits=$(grep -l 'MACHINE DEADLOCK' "$log".*.log 2>/dev/null | wc -l)
  # A finding is an input libFuzzer kept as an artifact, or runs that ended
  # before their count. A machine deadlock report after the last input (the
  # machine not shut down at exit) is shown, not counted: the runs are done.
  local found=0 note=""
  if ls "$out/findings/$name-"* >/dev/null 2>&1 || [ "$runs" -lt "$want" ]; then
    found=1
  elif [ "$exits" -gt 0 ]; then
    note=" (deadlock report at exit)"
  fi
  echo "   $runs executions, $speed/s, cov ${cov:-?}, ft ${ft:-?}, ${seconds} s$note"
  row "fuzz_$name" "$runs executions ($speed/s), cov ${cov:-?}, ft ${ft:-?}$note" "${seconds} s" "$(verdict $found)"
}

for target in "$fuzz_dir"/fuzz_*; do
  name=${target##*/fuzz_}
  case "$name" in
    device_control|plug_bridge|hostile_bridge) fuzz_target "$name" "-detect_leaks=0" "$fuzz_jobs" ;;
    program_input) fuzz_target "$name" "" "$fuzz_jobs" ;;
    *) fuzz_target "$name" "" 1 ;;
  esac
done

# ---------------------------------------------------------------- 2. PnP cycles
echo "== $cycles Plug and Play cycles of eight bridges"
start=$(now)
NORVUSB_SEEDS=$cycles "$test_dir/test_lifecycle" --gtest_filter='PnpCyclesTest.*' >"$out/logs/pnp_cycles.log" 2>&1
status=$?
tail -n 3 "$out/logs/pnp_cycles.log"
grep -A2 'fails; replay' "$out/logs/pnp_cycles.log"
row "PnP cycles, 8 bridges" "$cycles cycles (seeds 1-$cycles)" "$(( $(now) - start )) s" "$(verdict $status)"

# ---------------------------------------------------------------- 3. low resources
echo "== low-resources sweep"
start=$(now)
"$test_dir/test_lifecycle" --gtest_filter='FailureSweepTest.*' >"$out/logs/sweep.log" 2>&1
status=$?
grep '^sweep:' "$out/logs/sweep.log"
sites=$(grep '^sweep:' "$out/logs/sweep.log" | awk '{printf "%s%s %s %s", sep, $2 ($3 ~ /^(pool|usb|bus)$/ ? "" : " " $3), $(NF-2), $(NF-1); sep=", "}')
row "low-resources sweep" "sites per path: ${sites:-none}" "$(( $(now) - start )) s" "$(verdict $status)"

# ---------------------------------------------------------------- 4. seeds
# scripts/explore.py: a chunk of seeds per run, no chunk started once the
# time is up, so the count of seeds every scenario reached is exact.
echo "== seeded race tests: $seeds seeds, at most $explore_time s"
start=$(now)
python3 scripts/explore.py --seeds "$seeds" --time "$explore_time" --build "$test_dir" >"$out/logs/explore.log" 2>&1
status=$?
tail -n 20 "$out/logs/explore.log"
reached=$(sed -n 's/^explore: .*\b\([0-9][0-9]*\) of [0-9]* seeds of every scenario.*/\1/p' "$out/logs/explore.log")
[ "$status" -eq 0 ] && [ "${reached:-0}" -lt "$seeds" ] && echo "   the time ran out before $seeds seeds"
row "seeded race tests" "${reached:-0} of $seeds seeds of each" "$(( $(now) - start )) s" "$(verdict $status)"

# ---------------------------------------------------------------- the table
result=$([ "$failed" -eq 0 ] && echo passed || echo FAILED)
table=$(
  echo "## \`SOAK=$mode\`, $(date -u +%Y-%m-%d), commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!docs/records/soak.md' || echo ' with changes'), $result."
  echo
  echo "| part | figures | time | result |"
  echo "|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
)
python3 - "$table" <<'EOF'
import sys
path = "docs/records/soak.md"
marker = "<!-- soak runs, newest first -->\n"
text = open(path).read()
open(path, "w").write(text.replace(marker, marker + "\n" + sys.argv[1] + "\n", 1))
EOF
echo "== soak $result (table in docs/records/soak.md, logs in $out/logs)"
[ "$failed" -eq 0 ]
