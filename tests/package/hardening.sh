#!/usr/bin/env bash
# hardening.sh BUILD_DIR BUILD_TYPE
# Installs the build into a scratch prefix and checks every installed ELF file the way a
# distribution's checker would: full RELRO (a GNU_RELRO segment and BIND_NOW), a RUNPATH with
# no empty entry and nothing outside the prefix, and, in the optimised builds, the stack
# protector and fortified libc calls.
set -euo pipefail
build_dir=$1 build_type=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

failures=0
fail() {
  echo "FAIL $1: $2"
  failures=$((failures + 1))
}

check() {
  local file=$1 name=${1#"$work/prefix/"}
  local dynamic segments
  dynamic=$(readelf -dW "$file")
  segments=$(readelf -lW "$file")
  grep -q GNU_RELRO <<<"$segments" || fail "$name" "no GNU_RELRO segment"
  grep -Eq '\(BIND_NOW\)|Flags:.*\bNOW\b' <<<"$dynamic" || fail "$name" "not bound at start-up"
  local runpath
  runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p; s/.*(RPATH).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  if [[ -n "$runpath" ]]; then
    local entry
    while IFS= read -r entry; do
      [[ -z "$entry" ]] && fail "$name" "empty RUNPATH entry (the working directory) in '$runpath'"
      [[ "$entry" == '$ORIGIN'* ]] || fail "$name" "RUNPATH entry '$entry' outside the prefix"
    done < <(tr ':' '\n' <<<"$runpath"; [[ "$runpath" == *: ]] && echo)
  fi
  if [[ "$build_type" != Debug ]]; then
    local symbols
    symbols=$(readelf -sW --dyn-syms "$file")
    grep -q '__stack_chk_fail' <<<"$symbols" || fail "$name" "no stack protector"
  fi
}

mapfile -t files < <(find "$work/prefix" -type f \( -name '*.so*' -o -perm -u+x \) |
  while read -r f; do [[ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" == '177ELF' ]] && echo "$f"; done)
((${#files[@]} > 0)) || { echo "no installed ELF files"; exit 1; }
for f in "${files[@]}"; do
  check "$f"
done
# Fortify replaces the libc calls it can check with their _chk forms; the platform library
# formats and copies into fixed buffers, so it must have some.
if [[ "$build_type" != Debug ]]; then
  platform=$(find "$work/prefix" -name 'libvsplatform.so.1' | head -n 1)
  symbols=$(readelf -sW --dyn-syms "$platform" | grep -v __stack_chk)
  grep -q '_chk@' <<<"$symbols" || fail libvsplatform "no fortified libc calls"
fi
echo "checked ${#files[@]} files, $failures failures"
exit $((failures > 0))
