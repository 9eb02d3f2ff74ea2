#!/usr/bin/env bash
# consume.sh BUILD_DIR README CXXFLAGS LDFLAGS VERSION
set -euo pipefail
# shellcheck source=sample.sh
source "$(dirname "$0")/sample.sh"
build_dir=$1 readme=$2 cxxflags=$3 ldflags=$4 version=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
# The platform's headers live apart, so an agent with a platform of its own finds only its own.
for header in TqDebug.h CLoFile.h JXLibCurl.h; do
  test ! -e "$prefix/include/vssupport/$header" || { echo "$header among the library's headers"; exit 1; }
  test -e "$prefix/include/vsplatform/$header" || { echo "$header not installed"; exit 1; }
done

mkdir -p "$work/consumer"
extract_sample "$readme" "$work/consumer/main.cpp"

cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
# An older standard of its own: the package's targets must raise it to the C++17 they need.
set(CMAKE_CXX_STANDARD 14)
find_package(VSSupport 2.0 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE VSSupport::vssupport)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
# Raised, the consumer compiles as C++17 (no flag where that is the compiler's default);
# left alone, it would get -std=gnu++14.
if grep -q -- '++14' "$work/consumer/build/compile_commands.json"; then
  echo "the package did not raise the consumer to C++17"
  exit 1
fi

# SameMajorVersion, both sides, around the project's version: this release and an older minor
# of its major (or the major alone) are accepted; a newer minor and another major are not. The
# probe enables C++, as a client does: the package's own dependency lookups need a language,
# and without one every request would fail, the accepted ones too.
IFS=. read -r major minor _ <<<"$version"
accepted=("$major.$minor" "$major.$((minor > 0 ? minor - 1 : minor))" "$major")
refused=("$major.$((minor + 1))" "$((major + 1)).0")
((major > 0)) && refused+=("$((major - 1)).$minor")
probe() {
  local wanted=$1 dir=$work/version-$1
  mkdir -p "$dir"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(v CXX)\nfind_package(VSSupport %s REQUIRED)\n' \
    "$wanted" >"$dir/CMakeLists.txt"
  cmake -S "$dir" -B "$dir/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$dir/log" 2>&1
}
for wanted in "${accepted[@]}"; do
  probe "$wanted" || { cat "$work/version-$wanted/log"; echo "find_package(VSSupport $wanted) refused $version"; exit 1; }
done
for wanted in "${refused[@]}"; do
  if probe "$wanted"; then
    echo "find_package(VSSupport $wanted) accepted $version"
    exit 1
  fi
  # Refused for its version, not for some other failure of the probe.
  grep -q 'compatible with requested version "'"$wanted"'"' "$work/version-$wanted/log" ||
    { cat "$work/version-$wanted/log"; echo "find_package(VSSupport $wanted) failed otherwise"; exit 1; }
done
echo "ok: find_package(VSSupport) accepts ${accepted[*]}, refuses ${refused[*]} (installed: $version)"
grep -q '#define VSSUPPORT_VERSION_STRING "'"$version"'"' "$prefix/include/vssupport/VSSupportVersion.h" ||
  { echo "VSSupportVersion.h does not say $version"; exit 1; }

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vssupport.pc)")
pkg-config --exact-version="$version" vssupport vsplatform ||
  { echo "the pkg-config files do not say $version"; exit 1; }
# shellcheck disable=SC2046,SC2086
g++ -std=c++17 $cxxflags "$work/consumer/main.cpp" -o "$work/consumer/by-pkg-config" \
  $(pkg-config --cflags --libs vssupport) $ldflags \
  -Wl,-rpath,"$(pkg-config --variable=libdir vssupport)"

run_sample "$work/consumer/build/consumer" "$work/consumer/by-pkg-config"
