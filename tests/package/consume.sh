#!/usr/bin/env bash
# consume.sh BUILD_DIR README CXXFLAGS LDFLAGS VERSION
set -euo pipefail
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

# The sample is the first cpp block after its marker in the README.
mkdir -p "$work/consumer"
awk '/<!-- sample: client -->/ { armed = 1; next }
     armed && /^```cpp/ { inside = 1; next }
     inside && /^```/ { exit }
     inside { print }' "$readme" >"$work/consumer/main.cpp"
test -s "$work/consumer/main.cpp" || { echo "no client sample in $readme"; exit 1; }

cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
# An older standard of its own: the package's targets must raise it to the C++17 they need.
set(CMAKE_CXX_STANDARD 14)
find_package(VSSupport 1.1 REQUIRED)
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

# SameMajorVersion: a newer minor release or another major version is not this package.
for wanted in 1.2 0.9 2.0; do
  mkdir -p "$work/version-$wanted"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(v NONE)\nfind_package(VSSupport %s REQUIRED)\n' \
    "$wanted" >"$work/version-$wanted/CMakeLists.txt"
  if cmake -S "$work/version-$wanted" -B "$work/version-$wanted/build" \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
    echo "find_package(VSSupport $wanted) accepted the installed package"
    exit 1
  fi
done
grep -q '#define VSSUPPORT_VERSION_STRING "'"$version"'"' "$prefix/include/vssupport/VSSupportVersion.h" ||
  { echo "VSSupportVersion.h does not say $version"; exit 1; }

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vssupport.pc)")
pkg-config --exact-version="$version" vssupport vsplatform ||
  { echo "the pkg-config files do not say $version"; exit 1; }
# shellcheck disable=SC2046,SC2086
g++ -std=c++17 $cxxflags "$work/consumer/main.cpp" -o "$work/consumer/by-pkg-config" \
  $(pkg-config --cflags --libs vssupport) $ldflags \
  -Wl,-rpath,"$(pkg-config --variable=libdir vssupport)"

# Nothing listens on port 1: both builds must load the installed libraries, reach libcurl and
# report the refused connection the sample's way.
for program in "$work/consumer/build/consumer" "$work/consumer/by-pkg-config"; do
  set +e
  message=$(TQDEBUG_LEVEL=-1 "$program" 127.0.0.1 1 2>&1 >/dev/null)
  status=$?
  set -e
  case "$status:$message" in
    3:*"request failed: "*"Couldn't connect to server"*) echo "ok: $program" ;;
    *) echo "unexpected result from $program: exit $status: $message"; exit 1 ;;
  esac
done
