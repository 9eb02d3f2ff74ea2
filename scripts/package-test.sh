#!/usr/bin/env bash
# package-test.sh BUILD_DIR README
# Installs the Debian packages the way a user does and uses them. Where the machine allows it
# (mmdebstrap, run as root, the host's Debian mirror known), a scratch Debian root of the
# host's release is made, apt installs the packages into it resolving their dependencies from
# the host's mirror, and in that root the sample shipped in libvssupport-dev's examples folder
# is built with CMake and with pkg-config and run, vsguidcache answers --help, the documents
# the packages point to are checked, and apt purges the packages, leaving nothing of theirs
# (tests/package/in-root.sh). Otherwise, and when VSSUPPORT_PACKAGE_ROOT=unpack, the packages
# are unpacked with dpkg-deb -x (no dependency resolved, nothing purged) and the same checks
# run on the unpacked tree; the output says which. Then the manual page is rendered and
# lintian must report no error on any package.
#
# The .deb files apt fetched for the root are kept in BUILD_DIR/apt-cache for the next run; the
# root itself goes when the script ends.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tests/package/sample.sh
source "$here/../tests/package/sample.sh"
build_dir=$(realpath "$1") readme=$(realpath "$2")
work=$(mktemp -d "$build_dir/package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cache=$build_dir/apt-cache

mapfile -t debs < <(find "$build_dir/packages" -maxdepth 1 -name '*.deb' | sort)
((${#debs[@]} == 6)) || { echo "expected 6 packages in $build_dir/packages, found ${#debs[@]}"; exit 1; }
for deb in "${debs[@]}"; do
  echo "== $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" \
    "$(dpkg-deb -f "$deb" Architecture) Multi-Arch: $(dpkg-deb -f "$deb" Multi-Arch)"
  echo "   Depends: $(dpkg-deb -f "$deb" Depends)"
  # The libraries and their development files are co-installable across architectures.
  case "$(dpkg-deb -f "$deb" Package):$(dpkg-deb -f "$deb" Multi-Arch)" in
    lib*[0-9]:same | lib*-dev:same | *-doc:foreign | vssupport-tools:*) ;;
    *) echo "   wrong Multi-Arch field"; exit 1 ;;
  esac
  [[ -z "$(dpkg-deb -f "$deb" Homepage)" ]] || { echo "   a Homepage field"; exit 1; }
done
package_file() { printf '%s\n' "${debs[@]}" | grep "/$1_"; }

# The sample libvssupport-dev ships is the README's as it stands.
extract_sample "$readme" "$work/readme-sample.cpp"
dpkg-deb --fsys-tarfile "$(package_file libvssupport-dev)" |
  tar -xO ./usr/share/doc/libvssupport-dev/examples/client.cpp |
  cmp -s - "$work/readme-sample.cpp" || { echo "the shipped sample is not the README's"; exit 1; }
echo "ok: examples/client.cpp is the README's sample"

# The host's own Debian sources, one line each (third-party repositories left out): the root
# is made of the release the host runs, from the mirror it uses.
debian_sources() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [[ -n "$codename" ]] || return 1
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
      'Created-By: Packages' 2>/dev/null |
    awk -v c="$codename" '$2 == c || $2 == c "-updates" || $2 == c "-security" {
      print "deb " $1 " " $2 " " $3 }' | sort -u
}

# Why the scratch root cannot be made here; nothing when it can.
no_root_reason() {
  [[ "${VSSUPPORT_PACKAGE_ROOT:-}" != unpack ]] || { echo "VSSUPPORT_PACKAGE_ROOT=unpack"; return; }
  command -v mmdebstrap >/dev/null || { echo "mmdebstrap is not installed"; return; }
  (($(id -u) == 0)) || { echo "not run as root"; return; }
  [[ -n "$(debian_sources)" ]] || echo "no Debian mirror among the host's apt sources"
}

in_scratch_root() {
  local pass=$work/pass codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mkdir -p "$pass" "$cache"
  cp "${debs[@]}" "$here/../tests/package/in-root.sh" "$here/../tests/package/sample.sh" "$pass/"
  mapfile -t sources < <(debian_sources)
  echo "== a scratch $codename root (mmdebstrap), apt from: ${sources[*]}"
  local started=$SECONDS made=0
  # The archives stay in the root's apt cache (download/empty, essential/unlink skipped) and go
  # to BUILD_DIR/apt-cache before the purge; the packages under test are not kept. A root that
  # is thrown away needs no fsync from dpkg.
  if mmdebstrap --mode=root --variant=apt --quiet \
      --skip=download/empty --skip=essential/unlink \
      --include=g++,cmake,pkg-config,ninja-build --dpkgopt=force-unsafe-io \
      --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
      --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
      --customize-hook="touch '$work/root-made'" \
      --customize-hook="copy-in '$pass' /tmp" \
      --customize-hook='chroot "$1" bash /tmp/pass/in-root.sh install /tmp/pass' \
      --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
      --customize-hook='chroot "$1" bash /tmp/pass/in-root.sh purge /tmp/pass' \
      "$codename" /dev/null "${sources[@]}"; then
    made=1
  fi
  rm -f "$cache"/libvssupport* "$cache"/libvsplatform* "$cache"/vssupport-tools*
  if ((made)); then
    echo "ok: the scratch root, from its making to the purge, in $((SECONDS - started)) s"
    return 0
  fi
  # A failure after the root was made is the packages'; before, the machine's.
  [[ ! -e "$work/root-made" ]] || { echo "the packages failed in the scratch root"; exit 1; }
  return 1
}

unpacked() {
  local root=$work/root deb libdir
  for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root"
  done
  libdir=$(dirname "$(find "$root/usr/lib" -name 'libvssupport.so.2' | head -n 1)")
  LD_LIBRARY_PATH=$libdir PKG_CONFIG_PATH=$libdir/pkgconfig check_installed "$root" "$work/use"
}

reason=$(no_root_reason)
if [[ -z "$reason" ]] && ! in_scratch_root; then
  reason="mmdebstrap could not make the scratch root on this machine (its output is above)"
fi
if [[ -n "$reason" ]]; then
  echo "== NOT INSTALLED THE DEBIAN WAY: $reason; the packages are unpacked with dpkg-deb -x" \
    "instead (no dependency resolved, no purge checked)"
  unpacked
fi

dpkg-deb --fsys-tarfile "$(package_file vssupport-tools)" | tar -xO ./usr/share/man/man8/vsguidcache.8.gz |
  gunzip >"$work/vsguidcache.8"
MANWIDTH=80 man -l "$work/vsguidcache.8" | grep -q 'vsguidcache' ||
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
