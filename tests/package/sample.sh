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
