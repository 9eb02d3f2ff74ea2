#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for FUZZ_SECONDS seconds on a
# copy of its seed corpus, so the committed corpus never changes. Exits non-zero when any
# target finds something; the input that triggered it is kept under
# build/fuzz/findings/<target>/ until the next run of that target.
#
#   FUZZ_SECONDS   time per target, default 60
#   FUZZ_TARGETS   targets to run, default all (space-separated names)
#   JOBS           build parallelism and targets run at once, default 2
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
targets="${FUZZ_TARGETS:-fuzz_guidcache_record fuzz_xml_readers fuzz_xml_growth
    fuzz_json_stringlist fuzz_rest_url fuzz_log_format fuzz_log_mask fuzz_retry_after
    fuzz_response_body fuzz_header_block fuzz_json_writer}"

# Longest input per target: records and documents are small; the URL target needs room for an
# argument beyond the 2048-byte formatting buffer.
max_len() {
    case "$1" in
        fuzz_rest_url) echo 8192 ;;
        fuzz_log_mask) echo 1048576 ;;  # a log record as long as a large body
        fuzz_response_body) echo 32768 ;;  # room for the decompression bomb's seed
        *) echo 4096 ;;
    esac
}

cmake --preset fuzz
cmake --build --preset fuzz -j "${JOBS:-2}"

work="$(mktemp -d "${TMPDIR:-/tmp}/vsfuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
findings="$PWD/build/fuzz/findings"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The targets drop their log records; anything that still reaches the log goes to a file.
export TQDEBUG_FILE="$work/tqdebug.log"

# One target's run; its output stays in $work/<target>.log and its verdict in
# $work/<target>.failed, so that targets can run side by side.
run_target() {
    local target=$1 corpus="$work/corpus-$1" dict=()
    cp -r "fuzz/corpus/$target" "$corpus"
    case "$target" in
        fuzz_xml_readers) dict=(-dict=fuzz/xml.dict) ;;
        fuzz_xml_growth) dict=(-dict=fuzz/xml.dict) ;;
        fuzz_json_stringlist) dict=(-dict=fuzz/json.dict) ;;
        fuzz_json_writer) dict=(-dict=fuzz/json.dict) ;;
    esac
    rm -rf "${findings:?}/$target"  # what is there belongs to this run only
    mkdir -p "$findings/$target"
    TMPDIR="$work" "build/fuzz/fuzz/$target" "$corpus" "${dict[@]}" \
        -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=30 \
        -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/$target/" >"$work/$target.log" 2>&1 ||
        touch "$work/$target.failed"
}

# As many targets at once as JOBS, each for its full time: a target is single-threaded, and
# the one that judges time (fuzz_xml_growth) measures its thread's CPU time, not the clock.
running=0
for target in $targets; do
    if [ "$running" -ge "${JOBS:-2}" ]; then
        wait -n
        running=$((running - 1))
    fi
    echo "== $target: ${seconds}s"
    run_target "$target" &
    running=$((running + 1))
done
wait

failed=()
for target in $targets; do
    if [ -e "$work/$target.failed" ]; then
        failed+=("$target")
        tail -n 60 "$work/$target.log"
        echo "== $target FAILED; input(s) in $findings/$target/"
    else
        echo "== $target"
        grep -E '^(Done|stat::number_of_executed_units)' "$work/$target.log" || true
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzz: findings in ${failed[*]}"
    exit 1
fi
echo "fuzz: no findings in $targets"
