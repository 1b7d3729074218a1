#!/usr/bin/env bash
# The Debian packages `cpack -G DEB` makes of a build: one per part (the tool, the library's
# development files, the Python module where it is built), each holding its own files and
# its copyright and changelog, and lintian finds no error and no warning in any of them.
# Without lintian it prints SKIPPED and exits 77 (CTest: skipped).
#   deb_test.sh <build dir> <scratch dir>
set -euo pipefail
build=$1 scratch=$2
if ! command -v lintian >/dev/null || ! command -v dpkg-deb >/dev/null; then
  echo "SKIPPED: lintian or dpkg-deb not found; the packages were not checked"
  exit 77
fi
rm -rf "$scratch"
mkdir -p "$scratch"
(cd "$build" && cpack -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1) \
  || { cat "$scratch/cpack.log"; echo "FAIL: cpack did not make the packages"; exit 1; }

failures=0
holds() {  # holds PACKAGE PATTERN... : every pattern matches a file of the package
  local deb=("$scratch/$1"_*.deb) listing
  listing=$(dpkg-deb -c "${deb[0]}")
  shift
  for pattern in "$@"; do
    grep -Eq " \./$pattern\$" <<<"$listing" || { echo "FAIL: ${deb[0]##*/} has no $pattern"; failures=1; }
  done
}
lacks() {  # lacks PACKAGE PATTERN : no file of the package matches
  local deb=("$scratch/$1"_*.deb)
  if dpkg-deb -c "${deb[0]}" | grep -Eq " \./$2"; then echo "FAIL: ${deb[0]##*/} holds $2"; failures=1; fi
}
holds tarvik usr/bin/tarvik usr/share/man/man1/tarvik\.1\.gz \
  usr/share/bash-completion/completions/tarvik usr/share/doc/tarvik/copyright \
  usr/share/doc/tarvik/changelog\.gz
lacks tarvik usr/include
holds libtarvik-dev usr/include/tarvik/device\.h usr/lib/.*libtarvik_client\.a \
  usr/lib/.*cmake/tarvik/tarvikConfig\.cmake usr/share/doc/libtarvik-dev/copyright
lacks libtarvik-dev usr/bin
if compgen -G "$scratch/python3-tarvik_*.deb" >/dev/null; then
  holds python3-tarvik "usr/lib/python3/dist-packages/tarvik\.cpython-.*\.so" \
    usr/share/doc/python3-tarvik/copyright
fi
[ "$failures" -eq 0 ]

status=0
report=$(lintian --fail-on error,warning "$scratch"/*.deb 2>&1) || status=$?
grep -v "running with root privileges" <<<"$report" || true
[ "$status" -eq 0 ] || { echo "FAIL: lintian found errors or warnings"; exit 1; }
echo "the packages hold their own files, and lintian passes them"
