#!/usr/bin/env bash
# in-root.sh install|purge DIR: package-test.sh runs it inside the scratch Debian root, DIR
# holding the packages (and this script with sample.sh). install: apt installs the packages,
# resolving their dependencies from the mirror, and a user's first steps are checked; purge:
# apt purges them and nothing of theirs may stay behind, neither a package state nor a file
# that the root did not have before.
set -euo pipefail
# shellcheck source=sample.sh
source "$(dirname "$0")/sample.sh"
phase=$1 dir=$2
export DEBIAN_FRONTEND=noninteractive

case $phase in
  install)
    for deb in "$dir"/*.deb; do
      dpkg-deb -f "$deb" Package >>"$dir/packages"
      dpkg-deb --fsys-tarfile "$deb" | tar -t
    done | sed 's|^\./|/|; s|/$||' | grep -v '^/\?$' | sort -u >"$dir/paths"
    while read -r path; do
      if [[ -e "$path" ]]; then echo "$path"; fi
    done <"$dir/paths" >"$dir/before"
    apt-get install -y -q --no-install-recommends "$dir"/*.deb >"$dir/apt.log" 2>&1 ||
      { cat "$dir/apt.log"; exit 1; }
    echo "ok: apt-get install $(tr '\n' ' ' <"$dir/packages")"
    check_installed "" /tmp/vssupport-use
    ;;
  purge)
    mapfile -t packages <"$dir/packages"
    apt-get purge -y -q "${packages[@]}" >"$dir/apt.log" 2>&1 || { cat "$dir/apt.log"; exit 1; }
    left=$(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
      grep -v '^[up]n' || true)
    [[ -z "$left" ]] || { echo "after purge, dpkg still knows: $left"; exit 1; }
    # A folder that the packages' dependencies, still installed, share is theirs.
    left=$(comm -23 "$dir/paths" "$dir/before" | while read -r path; do
      if [[ -e "$path" || -L "$path" ]] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
        echo "$path"
      fi
    done)
    [[ -z "$left" ]] || { echo "after purge, still there: $left"; exit 1; }
    echo "ok: apt-get purge leaves nothing of the packages"
    ;;
  *) echo "usage: in-root.sh install|purge DIR"; exit 2 ;;
esac
