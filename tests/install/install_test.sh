#!/usr/bin/env bash
# `cmake --install` of a build into a scratch prefix: the tool, its man page and completion,
# the client library with its headers and CMake package land where they should, the installed
# tool runs, and a project outside the tree builds against the package with find_package.
#   install_test.sh <build dir> <consumer source dir> <scratch dir> [consumer CXX flags]
set -euo pipefail
build=$1 consumer=$2 scratch=$3 flags=${4:-}
rm -rf "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
missing=0
for file in bin/tarvik share/man/man1/tarvik.1 share/bash-completion/completions/tarvik \
    include/tarvik/device.h include/tarvik_ioctl.h "$libdir/libtarvik_client.a" \
    "$libdir/cmake/tarvik/tarvikConfig.cmake" "$libdir/cmake/tarvik/tarvikConfigVersion.cmake" \
    "$libdir/cmake/tarvik/tarvikTargets.cmake"; do
  [ -f "$prefix/$file" ] || { echo "FAIL: $file was not installed"; missing=1; }
done
[ "$missing" -eq 0 ]
grep -q '^\.SS acquire' "$prefix/share/man/man1/tarvik.1" \
  || { echo "FAIL: the man page has no section for acquire"; exit 1; }
"$prefix/bin/tarvik" --version | grep -q '^tarvik [0-9]' \
  || { echo "FAIL: the installed tool does not run"; exit 1; }

cmake -S "$consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$scratch/consumer.log" 2>&1 \
  && cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 \
  || { cat "$scratch/consumer.log"; echo "FAIL: the consumer project did not build"; exit 1; }
output=$("$scratch/consumer/consumer")
[[ "$output" == "no device: "* ]] || { echo "FAIL: the consumer said: $output"; exit 1; }
echo "installed, and a project builds against find_package(tarvik)"
