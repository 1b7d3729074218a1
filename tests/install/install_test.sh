#!/usr/bin/env bash
# `cmake --install` of a build into a scratch prefix: the tool, its man page and completion,
# the client library with its headers and CMake package, and the Python module where it is
# built, land where they should; the installed tool runs; and the README's example project
# (kept in <consumer source dir>, which must match the README) builds against the package with
# find_package, as written, and finds the emulated machine's card.
#   install_test.sh <build dir> <consumer source dir> <scratch dir> <README> [consumer CXX flags]
set -euo pipefail
build=$1 consumer=$2 scratch=$3 readme=$4 flags=${5:-}
rm -rf "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
missing=0
# TARVIK_PYTHON_DIR: where the Python module goes under the prefix, when the build makes it.
module=""
if [ -n "${TARVIK_PYTHON_DIR:-}" ]; then
  module=$(cd "$prefix" && echo "$TARVIK_PYTHON_DIR"/tarvik.cpython-*.so)
fi
for file in bin/tarvik share/man/man1/tarvik.1.gz share/bash-completion/completions/tarvik \
    share/doc/tarvik/copyright share/doc/libtarvik-dev/changelog.gz \
    include/tarvik/device.h include/tarvik/emulated_machine.h include/tarvik_ioctl.h \
    "$libdir/libtarvik_client.a" "$libdir/libtarvik_emulated.a" $module \
    "$libdir/cmake/tarvik/tarvikConfig.cmake" "$libdir/cmake/tarvik/tarvikConfigVersion.cmake" \
    "$libdir/cmake/tarvik/tarvikTargets.cmake"; do
  [ -f "$prefix/$file" ] || { echo "FAIL: $file was not installed"; missing=1; }
done
[ "$missing" -eq 0 ]
gzip -dc "$prefix/share/man/man1/tarvik.1.gz" | grep -q '^\.SS acquire' \
  || { echo "FAIL: the man page has no section for acquire"; exit 1; }
"$prefix/bin/tarvik" --version | grep -q '^tarvik [0-9]' \
  || { echo "FAIL: the installed tool does not run"; exit 1; }

# The example in the README is the one built here.
python3 - "$readme" "$consumer" <<'PY' || { echo "FAIL: the README's example differs from $consumer"; exit 1; }
import re, sys, pathlib
readme = pathlib.Path(sys.argv[1]).read_text()
consumer = pathlib.Path(sys.argv[2])
blocks = re.findall(r"```(cmake|cpp)\n(.*?)```", readme, re.S)
cmake = [b for kind, b in blocks if kind == "cmake" and "find_package(tarvik" in b]
cpp = [b for kind, b in blocks if kind == "cpp" and "tarvik/emulated_machine.h" in b]
assert cmake and cmake[0] == (consumer / "CMakeLists.txt").read_text(), "CMakeLists.txt"
assert cpp and cpp[0] == (consumer / "main.cpp").read_text(), "main.cpp"
PY

cmake -S "$consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$scratch/consumer.log" 2>&1 \
  && cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 \
  || { cat "$scratch/consumer.log"; echo "FAIL: the consumer project did not build"; exit 1; }
output=$("$scratch/consumer/my_program")
[ "$output" = "identification byte 4: 9" ] || { echo "FAIL: the consumer said: $output"; exit 1; }
echo "installed, and a project builds against find_package(tarvik)"
