# Shared by the package tests (sourced): the README's client sample, taken out and run.

# extract_sample README DEST: the first cpp block after the "sample: client" marker.
extract_sample() {
  awk '/<!-- sample: client -->/ { armed = 1; next }
       armed && /^```cpp/ { inside = 1; next }
       inside && /^```/ { exit }
       inside { print }' "$1" >"$2"
  test -s "$2" || { echo "no client sample in $1"; exit 1; }
}

# run_sample PROGRAM...: nothing listens on port 1, so each build must load the libraries,
# reach libcurl and report the refused connection the sample's way (exit code 3).
run_sample() {
  local program message status
  for program in "$@"; do
    set +e
    message=$(TQDEBUG_LEVEL=-1 "$program" 127.0.0.1 1 2>&1 >/dev/null)
    status=$?
    set -e
    case "$status:$message" in
      3:*"request failed: "*"Couldn't connect to server"*) echo "ok: $program" ;;
      *) echo "unexpected result from $program: exit $status: $message"; exit 1 ;;
    esac
  done
}

# check_installed ROOT SCRATCH: what a user does with the installed packages, under ROOT (empty
# in the scratch Debian root, the unpacked tree otherwise): the documents the packages point
# to are there, the shipped sample builds from the examples folder with its CMake project and
# with pkg-config and runs, and vsguidcache answers --help.
check_installed() {
  local root=$1 scratch=$2 file
  local dev_doc=$root/usr/share/doc/libvssupport-dev
  for file in "$dev_doc/README.md.gz" "$dev_doc/changelog.gz" "$dev_doc/examples/client.cpp" \
      "$dev_doc/examples/CMakeLists.txt" "$root/usr/share/doc/libvssupport-doc/html/index.html"; do
    test -s "$file" || { echo "$file is missing"; exit 1; }
  done
  echo "ok: README.md.gz, changelog.gz, examples/ and the reference's html/index.html"
  mkdir -p "$scratch"
  cmake -S "$dev_doc/examples" -B "$scratch/client" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
    >"$scratch/cmake.log" 2>&1 || { cat "$scratch/cmake.log"; exit 1; }
  cmake --build "$scratch/client" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
  # shellcheck disable=SC2046
  g++ -std=c++17 "$dev_doc/examples/client.cpp" -o "$scratch/by-pkg-config" \
    $(pkg-config --cflags --libs vssupport)
  run_sample "$scratch/client/client" "$scratch/by-pkg-config"
  "$root/usr/bin/vsguidcache" --help | grep -q 'sweep' || { echo "vsguidcache --help"; exit 1; }
  echo "ok: vsguidcache --help"
}
