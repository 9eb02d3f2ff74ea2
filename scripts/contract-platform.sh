#!/usr/bin/env bash
# Builds the library on the contract platform (tests/contract-platform: the platform calls the
# library may make and nothing more) and runs the suites that apply on any platform:
#   1. the platform, installed into build/contract/prefix;
#   2. the library and its tests on it, in build/contract/lib (RelWithDebInfo, warnings as
#      errors; extra arguments go to this configuration), and ctest there;
#   3. last, the platform conformance program against the contract platform, as a report: each
#      failure it prints is a requirement the contract platform misses on purpose or by fault,
#      and none of them fails this script.
# JOBS sets the parallelism (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
prefix=$PWD/build/contract/prefix

rm -rf "$prefix"  # no header or library of an earlier platform left beside the new ones
cmake -S tests/contract-platform -B build/contract/platform -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$prefix"
cmake --build build/contract/platform -j "$jobs"
cmake --install build/contract/platform

cmake -S . -B build/contract/lib -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVSSUPPORT_PLATFORM_PACKAGE=ON -DCMAKE_PREFIX_PATH="$prefix" \
  -DVSSUPPORT_WARNINGS_AS_ERRORS=ON "$@"
cmake --build build/contract/lib -j "$jobs"
status=0
ctest --test-dir build/contract/lib -j "$jobs" --output-on-failure || status=$?

conformance=build/contract/lib/tests/platform-conformance/platform_conformance
if [[ -x $conformance ]]; then
  log=build/contract/conformance.log
  echo "== Platform conformance of the contract platform (a report: it never fails this script)"
  "$conformance" >"$log" 2>&1 && echo "No requirement missed." || {
    # GoogleTest output: each failed case with its messages; anything else: the whole output.
    if grep -q '^\[ RUN      \]' "$log"; then
      awk '/^\[ RUN      \]/ { block = "" } { block = block $0 "\n" }
           /^\[  FAILED  \] .*\(/ { printf "%s", block }' "$log"
    else
      cat "$log"
    fi
    echo "(the whole output: $log)"
  }
fi
exit "$status"
