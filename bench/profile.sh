#!/usr/bin/env bash
# Instructions per pass of one benchmark's timed work, counted by callgrind (repeatable on a
# noisy machine, unlike the clock).
#
#   bench/profile.sh PROGRAM FILTER PASS_FUNCTION [SMALL LARGE]
#   bench/profile.sh vsbench_query url_encode/lib EncodeLibPass
#
# Runs PROGRAM (from build/release/bench) under callgrind twice, with SMALL and LARGE fixed
# iterations (default 20 and 220) of the benchmarks matching FILTER, counting only inside
# PASS_FUNCTION; the difference divided by LARGE - SMALL leaves out one-time costs (lazy symbol
# binding, first allocations). The profiles of the larger run stay in
# build/release/bench/profile/ for callgrind_annotate, one per process (the HTTP server is a
# forked child, which never runs a pass function). Workloads run at their --smoke size, or at
# their full size with PROFILE_SIZE=full (the sweep's growth from 10,000 to 100,000 entries).
set -euo pipefail
cd "$(dirname "$0")/.."
program="$1" filter="$2" pass="$3" small="${4:-20}" large="${5:-220}"
size=--smoke
if [ "${PROFILE_SIZE:-smoke}" = full ]; then size=; fi
out=build/release/bench/profile
mkdir -p "$out"
count() {
  local file="$out/$program.$pass.$1"
  rm -f "$file".*.out
  valgrind --tool=callgrind --callgrind-out-file="$file.%p.out" --toggle-collect="*$pass*" \
    "build/release/bench/$program" $size --iterations="$1" --benchmark_filter="$filter" \
    >/dev/null 2>"$file.log"
  sed -n 's/^==[0-9]*== Collected : //p' "$file.log" | awk '{ sum += $1 } END { print sum }'
}
a=$(count "$small")
b=$(count "$large")
echo "$program $filter $pass: $(( (b - a) / (large - small) )) instructions per pass" \
  "(profiles: $out/$program.$pass.$large.*.out)"
