#!/usr/bin/env bash
# package-test.sh BUILD_DIR README
# Unpacks the three Debian packages into a scratch root (dpkg-deb -x: nothing is installed on
# the machine), builds the README's client sample against that root with CMake and with
# pkg-config, runs both, runs the unpacked vsguidcache --help and renders its manual page, and
# runs lintian on the packages (no errors; its warnings are printed).
set -euo pipefail
# shellcheck source=../tests/package/sample.sh
source "$(dirname "$0")/../tests/package/sample.sh"
build_dir=$(realpath "$1") readme=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root

mapfile -t debs < <(find "$build_dir/packages" -maxdepth 1 -name '*.deb' | sort)
((${#debs[@]} == 3)) || { echo "expected 3 packages in $build_dir/packages, found ${#debs[@]}"; exit 1; }
for deb in "${debs[@]}"; do
  echo "== $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version) $(dpkg-deb -f "$deb" Architecture)"
  echo "   Depends: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$root"
done
libdir=$(dirname "$(find "$root/usr/lib" -name 'libvssupport.so.1' | head -n 1)")
export LD_LIBRARY_PATH=$libdir

mkdir -p "$work/consumer"
extract_sample "$readme" "$work/consumer/main.cpp"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(VSSupport 1.1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE VSSupport::vssupport)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  >/dev/null
cmake --build "$work/consumer/build" >/dev/null
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 "$work/consumer/main.cpp" -o "$work/consumer/by-pkg-config" \
  $(pkg-config --cflags --libs vssupport)
run_sample "$work/consumer/build/consumer" "$work/consumer/by-pkg-config"

"$root/usr/bin/vsguidcache" --help | grep -q 'sweep' || { echo "vsguidcache --help"; exit 1; }
echo "ok: the unpacked vsguidcache --help"
MANWIDTH=80 man -l "$root/usr/share/man/man8/vsguidcache.8.gz" | grep -q 'vsguidcache' ||
  { echo "the manual page does not render"; exit 1; }
echo "ok: man -l vsguidcache.8.gz"

if command -v lintian >/dev/null; then
  # Errors fail the packages; warnings are listed for the reader (see the README).
  lintian --no-tag-display-limit "${debs[@]}" | tee "$work/lintian.txt" || true
  if grep -q '^E:' "$work/lintian.txt"; then
    echo "lintian reports errors"
    exit 1
  fi
  echo "ok: lintian reports no errors"
fi
