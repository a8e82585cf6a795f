#!/bin/sh
# Installs a build into a temporary prefix and builds a small program against
# it both ways, through the CMake package and through pkg-config; each opens a
# file and prints its size.
#
# Usage: install_test.sh <build folder> <source folder>
set -e
build=$1
src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
image=$src/tests/data/bmp/magick_4bit.bmp

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(ls "$prefix"/lib*/libqorimage.so.1)
readelf -d "$lib" | grep -q 'SONAME.*\[libqorimage\.so\.1\]'
test -f "$prefix/include/qorimage/zqorall.h" && test -f "$prefix/include/qorimage/zqorflat.h"
for p in qorimg tocrlf tolf; do test -x "$prefix/bin/$p"; done
"$prefix/bin/qorimg" info "$image" | grep -q '^.*: bmp (1), '

cmake -S "$src/tests/consumer" -B "$prefix/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/by-cmake" >/dev/null
want=$("$prefix/bin/qorimg" info "$image" | sed 's/.*), \([0-9]* x [0-9]*\),.*/\1/')
got=$("$prefix/by-cmake/consumer" "$image")
test "$got" = "$want" || { echo "CMake consumer printed '$got', not '$want'"; exit 1; }

pc=$(dirname "$lib")/pkgconfig
mkdir "$prefix/by-pkg-config"
# shellcheck disable=SC2046
g++ -std=c++17 "$src/tests/consumer/consumer.cpp" -o "$prefix/by-pkg-config/consumer" \
  $(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs qorimage) -Wl,-rpath,"$(dirname "$lib")"
got=$("$prefix/by-pkg-config/consumer" "$image")
test "$got" = "$want" || { echo "pkg-config consumer printed '$got', not '$want'"; exit 1; }
echo "installed, and found through the CMake package and pkg-config: $got"
