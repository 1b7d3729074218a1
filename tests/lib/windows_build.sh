#!/bin/sh
# Compiles every source of the client library and of the tarvik tool with the i686 mingw-w64
# cross compiler against the real <windows.h> (nothing of the emulated Win32 on the include
# path), to object files in a scratch directory. The tool's header-only libraries (CLI11, fmt
# in header-only mode, nlohmann-json) come from the host's headers through a folder that holds
# only them.
# Without the cross compiler it prints SKIPPED and exits 77 (CTest: skipped).
#   windows_build.sh <checkout> [compiler]
set -eu
source_dir=${1:?usage: windows_build.sh <checkout> [compiler]}
cxx=${2:-i686-w64-mingw32-g++}

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "SKIPPED: $cxx not found; the library's Windows build was not checked"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

mkdir "$scratch/headers"
for library in CLI fmt nlohmann; do
  if [ -d "/usr/include/$library" ]; then ln -s "/usr/include/$library" "$scratch/headers/$library"; fi
done

status=0
for source in "$source_dir"/lib/src/*.cpp "$source_dir"/tools/*.cpp; do
  name=$(basename "$(dirname "$source")")_$(basename "$source" .cpp)
  echo "$cxx -c $source"
  "$cxx" -std=c++20 -O1 -Wall -Wextra -Werror -Wno-missing-field-initializers \
    -DFMT_HEADER_ONLY -I"$source_dir/lib/include" -I"$source_dir/include" \
    -I"$source_dir/tools" -I"$source_dir/sim" -isystem "$scratch/headers" \
    -c "$source" -o "$scratch/$name.o" || status=1
done
[ "$status" -eq 0 ] && echo "the library and the tool build for Windows"
exit "$status"
