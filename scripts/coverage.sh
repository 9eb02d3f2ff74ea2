#!/usr/bin/env bash
# Builds with gcov instrumentation, runs the whole suite, and prints the line and branch
# coverage of the library itself (rest/, xml/, json/, guidcache/ and the header-only JSON
# model), then of the platform stand-ins, each as its own summary. Tests, examples and tools
# are not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs" >/dev/null
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$jobs" >/dev/null

# The per-file report goes to a file beside the build, never to /dev/null: gcovr replaces its
# output file, and run as root it would replace the device itself.
report() {
  local title=$1 name=$2
  shift 2
  echo "== $title (per file: build/coverage/coverage-$name.txt)"
  gcovr --root . --object-directory build/coverage "$@" \
    --exclude-directories 'build/coverage/CMakeFiles/[0-9.]+' --exclude-unreachable-branches \
    --exclude-throw-branches --print-summary --txt "build/coverage/coverage-$name.txt" |
    grep -E '^(lines|branches):'
}
# The library must stay at 90% of its lines or better.
report "library (vssupport)" vssupport --fail-under-line 90 --filter 'rest/' --filter 'xml/' \
  --filter 'json/' --filter 'guidcache/' --filter 'compat/' --filter 'log/'
report "platform stand-ins (vsplatform)" vsplatform --filter 'platform/'
