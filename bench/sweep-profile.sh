#!/usr/bin/env bash
# The sweep's own work as the number of entries grows: user-space instructions of one sweep of
# 10,000 and of 100,000 entries (half expired), for CleanupGuidCache and for the raw loop,
# counted by callgrind. The wall clock of a sweep is mostly the kernel's lstat and unlink in a
# directory of that size, which grow faster than the entries on ext4; this is the part that is
# ours. Writes a JSON file that bench/report.py reads beside the benchmarks' own.
#
#   bench/sweep-profile.sh OUT.json           full sizes (about three minutes)
#   bench/sweep-profile.sh OUT.json --smoke   the benchmarks' tiny sizes, to keep this working
#
# One sweep is the difference between a run with two timed sweeps and one with a single one,
# so the untimed first sweep and one-time costs cancel.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$1"
size=full
if [ "${2:-}" = --smoke ]; then size=smoke; fi

count() {  # workload pass-function
  PROFILE_SIZE=$size bench/profile.sh vsbench_guidcache "^$1/" "$2" 1 2 |
    sed -n 's/.*: \([0-9]*\) instructions per pass.*/\1/p'
}

small=10000 large=100000
if [ "$size" = smoke ]; then small=40 large=400; fi
{
  echo '{"benchmarks": ['
  sep=""
  for impl in lib raw; do
    pass=CleanupGuidCache
    if [ "$impl" = raw ]; then pass=RawSweep; fi
    a=$(count cleanup_10k/$impl $pass)
    b=$(count cleanup_100k/$impl $pass)
    if [ -z "$a" ] || [ -z "$b" ]; then
      echo "sweep-profile: no count for $impl" >&2
      exit 1
    fi
    printf '%s{"name": "sweep_instructions/%s", "run_name": "sweep_instructions/%s",\n' \
      "$sep" "$impl" "$impl"
    printf ' "entries_small": %d, "entries_large": %d,' "$small" "$large"
    printf ' "instructions_small": %d, "instructions_large": %d}\n' "$a" "$b"
    sep=","
  done
  echo ']}'
} >"$out"
echo "sweep-profile: $(tr -d '\n' <"$out")" >&2
