#!/usr/bin/env bash
# Cross-builds the static Windows libraries that Debian does not ship
# cross-built: PCRE2 (8-bit, UTF) and libpng, from Debian's source packages.
#
#   third_party/build-win32-deps.sh OUTDIR [HOST]
#
# HOST is the MinGW-w64 triple: i686-w64-mingw32 (default) or x86_64-w64-mingw32.
# Leaves OUTDIR/include/{pcre2.h,png.h,pngconf.h,pnglibconf.h} and
# OUTDIR/lib/{libpcre2-8.a,libpng16.a}. zlib comes from libz-mingw-w64-dev.
# A stamp keyed on this script's contents makes a repeated run instant.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 OUTDIR [HOST]" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"

host=${2:-i686-w64-mingw32}
cc=${host}-gcc-posix
sysroot=/usr/${host}
jobs=${DROVELKIT_JOBS:-2}
# Run from a build rule, the parent make's flags and jobserver would leak in.
unset MAKEFLAGS MFLAGS MAKELEVEL

stamp="$out/.win32-deps.stamp"
key="$( (cat "$script"; echo "$host") | sha256sum | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] &&
   [ -f "$out/lib/libpcre2-8.a" ] && [ -f "$out/lib/libpng16.a" ]; then
  exit 0
fi
rm -f "$stamp"

for f in "$sysroot/lib/libz.a" "$sysroot/include/zlib.h"; do
  [ -f "$f" ] || { echo "missing $f (package libz-mingw-w64-dev)" >&2; exit 1; }
done
command -v "$cc" >/dev/null || { echo "missing $cc (package gcc-mingw-w64-$(echo "${host%%-w64*}" | tr _ -)-posix)" >&2; exit 1; }

work="$out/work"
mkdir -p "$work" "$out/include" "$out/lib"

# Unpacks Debian's source package $1 in $work (once) and prints its folder.
fetch_source() {
  local pkg=$1 dir
  dir=$(find "$work" -maxdepth 1 -type d -name "$2-*" | head -n1)
  if [ -z "$dir" ] || [ ! -f "$dir/.unpacked" ]; then
    [ -n "$dir" ] && rm -rf "$dir"
    # Running as root, apt would warn that it cannot drop to the _apt user.
    (cd "$work" && apt-get source -q -o APT::Sandbox::User=root "$pkg" >&2)
    dir=$(find "$work" -maxdepth 1 -type d -name "$2-*" | head -n1)
    [ -n "$dir" ] || { echo "apt-get source $pkg left no $2-* folder" >&2; exit 1; }
    touch "$dir/.unpacked"
  fi
  echo "$dir"
}

cross_cmake() {
  local src=$1 bld=$2; shift 2
  cmake -S "$src" -B "$bld" -Wno-dev \
    -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_FIND_ROOT_PATH="$sysroot" \
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DCMAKE_BUILD_TYPE=Release \
    "$@" >&2
}

pcre2_src=$(fetch_source pcre2 pcre2)
rm -rf "$work/pcre2-build"
# JIT stays off: every pattern is compiled for a single short match.
cross_cmake "$pcre2_src" "$work/pcre2-build" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
  -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF -DPCRE2_BUILD_PCRE2_32=OFF \
  -DPCRE2_SUPPORT_UNICODE=ON -DPCRE2_SUPPORT_JIT=OFF \
  -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF -DPCRE2_SHOW_REPORT=OFF
cmake --build "$work/pcre2-build" --target pcre2-8-static -j "$jobs" >&2
install -m 644 "$work/pcre2-build/libpcre2-8.a" "$out/lib/"
install -m 644 "$work/pcre2-build/pcre2.h" "$out/include/"

png_src=$(fetch_source libpng1.6 libpng1.6)
rm -rf "$work/png-build"
cross_cmake "$png_src" "$work/png-build" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
  -DPNG_HARDWARE_OPTIMIZATIONS=OFF \
  -DZLIB_LIBRARY="$sysroot/lib/libz.a" -DZLIB_INCLUDE_DIR="$sysroot/include"
cmake --build "$work/png-build" --target png_static -j "$jobs" >&2
install -m 644 "$work/png-build/libpng16.a" "$out/lib/"
install -m 644 "$png_src/png.h" "$png_src/pngconf.h" "$work/png-build/pnglibconf.h" "$out/include/"

echo "$key" > "$stamp"
