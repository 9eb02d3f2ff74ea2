#!/usr/bin/env bash
# abi-check.sh [--update] BUILD_DIR
# Compares the ABI that libvssupport.so and libvsplatform.so in BUILD_DIR export (the types
# their installed headers declare) with the baselines kept in abi/, using abidiff. Fails on a
# change that breaks a program built against the baseline (a removed symbol, a class whose
# size, layout or virtual table changed, ...) unless the library's soname changed with it;
# added symbols and types pass. The build must carry debug information (the presets do).
# With --update, writes the baselines from BUILD_DIR instead: after a soname change, or to
# take in additions.
set -euo pipefail
cd "$(dirname "$0")/.."
update=false
if [[ ${1:-} == --update ]]; then
  update=true
  shift
fi
build=${1:?usage: abi-check.sh [--update] BUILD_DIR}

# The public headers of each library: what a client compiles against.
vssupport_headers=(--headers-dir include --headers-dir compat --headers-dir "$build/generated")
vsplatform_headers=(--headers-dir platform --headers-dir platform/log --headers-dir platform/http
  --headers-dir platform/fs --headers-dir platform/config
  --headers-dir "$build/platform/generated")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

soname() { objdump -p "$1" | awk '$1 == "SONAME" { print $2 }'; }

status=0
check() {
  local name=$1 kept=abi/$1.abi.gz baseline=$work/$1.abi library
  shift
  library=$(readlink -f "$build/lib/$name.so")
  if $update; then
    abidw "$@" --drop-private-types --no-corpus-path --short-locs --no-comp-dir-path \
      --out-file "$baseline" "$library"
    gzip -9n -c "$baseline" >"$kept"
    echo "abi-check: $kept written from $(soname "$library")"
    return
  fi
  gzip -dc "$kept" >"$baseline"
  local report rc=0
  # abidiff's --headers-dir2 option names the new side's headers; the baseline was filtered
  # when it was written.
  local new_headers=()
  while (($#)); do new_headers+=(--headers-dir2 "$(readlink -f "$2")"); shift 2; done
  report=$(abidiff --drop-private-types --no-added-syms --suppressions abi/std.suppr \
    "${new_headers[@]}" \
    "$baseline" "$library") || rc=$?
  local was now
  was=$(awk -F"'" '/<abi-corpus / { for (i = 1; i < NF; i++) if ($i ~ /soname=$/) print $(i + 1) }' \
    "$baseline")
  now=$(soname "$library")
  if ((rc & 1)); then
    echo "$report"
    echo "abi-check: abidiff could not compare $name with $kept"
    status=1
  elif ((rc & 12)) && [[ $was == "$now" ]]; then
    echo "$report"
    echo "abi-check: $name breaks its ABI without a new soname (still $now): restore the ABI," \
      "or move the soname and run scripts/abi-check.sh --update"
    status=1
  elif ((rc & 12)); then
    echo "abi-check: $name breaks its ABI with a new soname ($was -> $now); take the new" \
      "baseline with scripts/abi-check.sh --update"
  else
    echo "abi-check: $name ($now) exports the ABI of $kept"
  fi
}
check libvssupport "${vssupport_headers[@]}"
check libvsplatform "${vsplatform_headers[@]}"
exit "$status"
