#!/usr/bin/env bash
# Installs the built library into a scratch prefix and links two programs
# against it: one with pkg-config alone, one through find_package(libvux).
set -euo pipefail
build=$1
src=$2
prefix=$(mktemp -d /tmp/vuxinstall.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/libvux/vuxstr.h include/libvux/vuxerr.h include/libvux/vuxxml.h lib/libvux.so lib/pkgconfig/libvux.pc \
         lib/cmake/libvux/libvuxConfig.cmake bin/vux; do
  [ -e "$prefix/$f" ] || { echo "missing $f in the installation"; exit 1; }
done
soname=$(objdump -p "$prefix/lib/libvux.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libvux.so.0" ] || { echo "SONAME is '$soname'"; exit 1; }

cat > "$prefix/probe.cpp" <<'CPP'
#include <libvux/vuxstr.h>
#include <libvux/vuxxml.h>
#include <iostream>
int main() {
    vux_xml::Xml doc;
    doc.GetRoot().AppendChild("v", str::base64::Encode("ok"));
    std::cout << doc.GetNode("/doc/v").Str() << "\n";
    try { str::hex::Decode("x"); } catch (const vux_err::Error& e) { std::cout << e.object() << "\n"; }
}
CPP
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++20 "$prefix/probe.cpp" -o "$prefix/probe_pc" $(pkg-config --cflags --libs libvux)
out=$(LD_LIBRARY_PATH="$prefix/lib" "$prefix/probe_pc")
[ "$out" = "$(printf 'b2s=\nhex_len')" ] || { echo "pkg-config program printed: $out"; exit 1; }

mkdir -p "$prefix/cmk"
cat > "$prefix/cmk/CMakeLists.txt" <<'CMK'
cmake_minimum_required(VERSION 3.25)
project(probe CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(libvux REQUIRED)
add_executable(probe ../probe.cpp)
target_link_libraries(probe PRIVATE libvux::vux)
CMK
cmake -S "$prefix/cmk" -B "$prefix/cmk/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cmk/build" >/dev/null
out=$("$prefix/cmk/build/probe")
[ "$out" = "$(printf 'b2s=\nhex_len')" ] || { echo "CMake program printed: $out"; exit 1; }
echo "install layout, pkg-config and find_package: ok"
