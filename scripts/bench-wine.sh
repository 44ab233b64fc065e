#!/usr/bin/env bash
# make bench-wine: the same 1 MiB, in 4 KiB writes, through the host machine
# and through the real x86 norvusb.sys under Wine, in one run; prints both
# times, per MiB and per request, and their ratio (medians of ROUNDS rounds,
# default 5).
#
# The Wine side is the Wine suite's own print test, run by
# scripts/test-wine.sh for the x86 image alone (a fresh prefix, the bus, the
# bridge model and the install as the suite does them); it notes how long the
# 256 writes took in each round. The host side is bench_print_throughput's
# BM_PrintMiB: the same bytes, instant timing (the Wine suite's bus has no
# frames either), the driver's default MaxTransferSize. Both time the writes
# alone, not the check of what the printer received. Then eight bridges
# printing 1 MiB each at once: the suite's eight-bridge print (once) beside
# bench_print_throughput's BM_EightBridgesMiB, as aggregate rates.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rounds=${ROUNDS:-5}
export JOBS=${JOBS:-2}

cmake --preset default >/dev/null
cmake --build --preset default -j "$JOBS" --target bench_print_throughput >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "== Wine, x86: the suite's print test, $rounds rounds"
# Tests 1 and 2: the install (the bridge and NorvUSB1 appear), then the
# print; and the eight-bridge print, named by the start of its name.
if ! WINE_TARGETS=x86 WINE_RESULTS=none NVTEST_ONLY="1,2,eight bridges print 1 MiB each" NVTEST_PRINT_ROUNDS="$rounds" \
     scripts/test-wine.sh >"$out/wine.txt" 2>&1; then
  cat "$out/wine.txt"
  echo "bench-wine: the Wine run failed"
  exit 1
fi
grep -E '^\[x86\]' "$out/wine.txt"
echo "== host machine: BM_PrintMiB, $rounds repetitions"
build/default/bench_print_throughput --benchmark_filter='^BM_(PrintMiB|EightBridgesMiB)' --benchmark_repetitions="$rounds" \
  --benchmark_format=json --benchmark_out="$out/host.json" >/dev/null

python3 - "$out/wine.txt" "$out/host.json" <<'PY'
import json, re, statistics, sys
text = open(sys.argv[1]).read()
wine = [float(s) for s in re.findall(r'the 256 writes of 4 KiB took ([0-9.]+) s', text)]
eight = [float(s) for s in re.findall(r'eight bridges wrote 1 MiB each at once in ([0-9.]+) s', text)]
runs = [b for b in json.load(open(sys.argv[2]))['benchmarks'] if b.get('run_type') == 'iteration']
host = [b['real_time'] / 1e3 for b in runs if b['name'].startswith('BM_PrintMiB')]  # ms -> s
host8 = [b['real_time'] / 1e3 for b in runs if b['name'].startswith('BM_EightBridgesMiB')]
if not wine or not host or not eight or not host8:
    sys.exit('bench-wine: no figures from ' + ('Wine' if not wine or not eight else 'the host machine'))
w, h = statistics.median(wine), statistics.median(host)
print()
print('| 1 MiB in 256 writes of 4 KiB | per MiB | per request | rounds |')
print('|---|---|---|---|')
print(f'| host machine (instant timing) | {h * 1e3:.2f} ms | {h / 256 * 1e6:.1f} us | {len(host)} |')
print(f'| real x86 norvusb.sys under Wine | {w * 1e3:.2f} ms | {w / 256 * 1e6:.1f} us | {len(wine)} |')
print(f'\nWine / host machine, per request: {w / h:.1f}x')
e, h8 = statistics.median(eight), statistics.median(host8)
print()
print('| eight bridges, 1 MiB each at once | time for all | aggregate rate | rounds |')
print('|---|---|---|---|')
print(f'| host machine (instant timing) | {h8 * 1e3:.2f} ms | {8 / h8:.1f} MiB/s | {len(host8)} |')
print(f'| real x86 norvusb.sys under Wine | {e * 1e3:.2f} ms | {8 / e:.3f} MiB/s | {len(eight)} |')
print(f'\nWine / host machine, eight bridges: {e / h8:.1f}x')
PY
