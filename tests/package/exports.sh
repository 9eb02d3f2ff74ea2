#!/usr/bin/env bash
# exports.sh NM LIBRARY NAME...
# Fails when the shared LIBRARY exports anything beyond its installed headers: every defined
# dynamic symbol, demangled, must be a member of a class NAME (its functions, static data and
# nested types, its typeinfo, vtable, VTT and thunks, a guard variable of its statics) or a
# free function NAME. A template instantiation of the standard library, a Boost type or an
# internal helper that leaks out is named with the reason.
set -euo pipefail
nm_program=$1 library=$2
shift 2
declare -A allowed
for name in "$@"; do
  allowed[$name]=1
done

# The class or function a demangled symbol belongs to: what precedes the first "::" or "(" once
# the special symbols' prefixes are gone, without template arguments. A function template's
# instantiation starts with its return type ("void std::vector<...>::..."), so its owner is
# never a plain name.
owner() {
  local symbol=$1 prefix
  for prefix in 'typeinfo name for ' 'typeinfo for ' 'vtable for ' 'VTT for ' \
    'construction vtable for ' 'non-virtual thunk to ' 'virtual thunk to ' \
    'covariant return thunk to ' 'guard variable for '; do
    symbol=${symbol#"$prefix"}
  done
  symbol=${symbol%%::*}
  symbol=${symbol%%(*}
  echo "${symbol%%<*}"
}

symbols=$("$nm_program" -D --defined-only --demangle "$library" | cut -d' ' -f3-)
[[ -n "$symbols" ]] || { echo "FAIL: $library exports no symbol at all"; exit 1; }
failures=0 count=0
while IFS= read -r symbol; do
  count=$((count + 1))
  if [[ -z "${allowed[$(owner "$symbol")]+set}" ]]; then
    echo "FAIL: exported but not declared by an installed header: $symbol"
    failures=$((failures + 1))
  fi
done <<<"$symbols"
echo "checked $count symbols of $library, $failures not of the public API"
exit $((failures > 0))
