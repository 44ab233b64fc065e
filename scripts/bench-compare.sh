#!/usr/bin/env bash
# Runs the benchmarks of an earlier revision and of the work tree side by
# side, alternating, and prints the median of each pair as a table.
#
#   scripts/bench-compare.sh REV [BENCH_REGEX] [REPETITIONS]
#
# REV is built once, from a clean export, in build/compare/<commit>. Both
# builds run on the same machine in the same minutes, so load hits both.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rev=${1:?usage: scripts/bench-compare.sh REV [BENCH_REGEX] [REPETITIONS]}
filter=${2:-.}
reps=${3:-5}
cd "$root"
commit=$(git rev-parse --short "$rev^{commit}")
old="$root/build/compare/$commit"
new="$root/build/default"

if [ ! -d "$old/src" ]; then
  mkdir -p "$old/src"
  git archive "$commit" | tar -x -C "$old/src"
fi
# The benchmarks alone, on both sides: each bench/<name>.cpp is bench_<name>.
targets=()
for source in bench/*.cpp; do targets+=(--target "bench_$(basename "$source" .cpp)"); done
cmake --preset default >/dev/null
cmake --build --preset default -j "${JOBS:-2}" "${targets[@]}" >/dev/null
(cd "$old/src" && cmake --preset default >/dev/null)
# A benchmark the earlier revision did not have is left out.
cmake --build "$old/src/build/default" -j "${JOBS:-2}" "${targets[@]}" >/dev/null 2>&1 ||
  for t in "${targets[@]}"; do
    [ "$t" = --target ] || cmake --build "$old/src/build/default" -j "${JOBS:-2}" --target "$t" >/dev/null 2>&1 || true
  done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for bench in "$new"/bench_*; do
  name=$(basename "$bench")
  [ -x "$old/src/build/default/$name" ] || continue
  echo "== $name" >&2
  for round in 1 2; do
    for side in before after; do
      binary="$bench"
      [ "$side" = before ] && binary="$old/src/build/default/$name"
      # A run that fails is reported, not retried: its figures are left out.
      "$binary" --benchmark_filter="$filter" --benchmark_repetitions="$reps" \
        --benchmark_format=json --benchmark_out="$out/$name.$side.$round.json" >/dev/null 2>"$out/stderr" ||
        echo "   $side, round $round failed: $(tail -n 2 "$out/stderr" | tr '\n' ' ')" >&2
    done
  done
done

python3 - "$out" "$commit" <<'EOF'
import glob, json, os, re, statistics, sys
out, commit = sys.argv[1], sys.argv[2]
runs = {}  # (bench, side) -> {name: [real times in us]}, counters
for path in sorted(glob.glob(os.path.join(out, '*.json'))):
    binary, side, _, _ = os.path.basename(path).rsplit('.', 3)
    try:
        data = json.load(open(path))
    except (OSError, ValueError):
        continue
    for b in data.get('benchmarks', []):
        if b.get('run_type') != 'iteration' or b.get('error_occurred'):
            continue
        scale = {'ns': 1e-3, 'us': 1.0, 'ms': 1e3, 's': 1e6}[b.get('time_unit', 'ns')]
        # Measuring the process's CPU time adds to the name, not to what runs.
        key = (binary, b['run_name'].replace('/process_time', ''))
        runs.setdefault(key, {}).setdefault(side, []).append(b['real_time'] * scale)
print(f'| benchmark | before ({commit}), real us | after, real us | after / before |')
print('|---|---|---|---|')
natural = lambda key: [int(t) if t.isdigit() else t for t in re.split(r'(\d+)', key[0] + key[1])]
for (binary, name), sides in sorted(runs.items(), key=lambda item: natural(item[0])):
    if 'before' not in sides or 'after' not in sides:
        continue
    before, after = statistics.median(sides['before']), statistics.median(sides['after'])
    print(f'| `{name}` | {before:.1f} | {after:.1f} | {after / before:.2f} |')
EOF
