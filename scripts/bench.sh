#!/usr/bin/env bash
# Builds in Release (the `release` preset, build/release), runs every benchmark program with
# repetitions in random interleaving, and prints one table: workload, library figure, raw
# figure, ratio. The raw JSON of each program stays in build/release/bench/results/.
#
#   scripts/bench.sh                      all programs, 5 repetitions
#   BENCH_REPETITIONS=9 scripts/bench.sh  more repetitions (see bench/report.py for which counts)
#   BENCH_HTTP_REPETITIONS=40 ...         the same for the request programs (default 25)
#   BENCH_FILTER=get_1KiB scripts/bench.sh  only the benchmarks whose names match
#
# Benchmarks measure; they never fail on a figure. A program exits non-zero only when a
# workload could not run at all.
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions="${BENCH_REPETITIONS:-5}"
# The request programs are timed by the wall clock and count their best repetition: many short
# repetitions give each side more chances at a quiet moment of a shared machine than a few long
# ones (see bench/README.md).
http_repetitions="${BENCH_HTTP_REPETITIONS:-25}"
filter="${BENCH_FILTER:-.}"
jobs="${JOBS:-2}"

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"

bin=build/release/bench
results="$bin/results"
rm -rf "$results"
mkdir -p "$results"
while read -r program; do
  echo "== $program" >&2
  settings=(--benchmark_repetitions="$repetitions")
  case "$program" in
    vsbench_http | vsbench_https)
      settings=(--benchmark_repetitions="$http_repetitions" --benchmark_min_time=0.2) ;;
  esac
  "$bin/$program" \
    --benchmark_filter="$filter" \
    "${settings[@]}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_display_aggregates_only=true \
    --benchmark_out="$results/$program.json" \
    --benchmark_out_format=json >&2
done <"$bin/programs.txt"

# The sweep's growth is judged by its user-space instructions (callgrind); see the script.
if echo "cleanup_10k cleanup_100k" | grep -qE -- "$filter"; then
  echo "== sweep instruction counts (callgrind, a few minutes)" >&2
  bash bench/sweep-profile.sh "$results/sweep.json"
fi

echo
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "kernel $(uname -r); load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo
python3 bench/report.py "$results"/*.json
