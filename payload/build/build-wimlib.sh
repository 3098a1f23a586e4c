#!/usr/bin/env bash
# Cross-builds the payload's splitter, wimlib-imagex.exe (wimlib 1.13 with
# libxml2 linked in), for Windows from Debian's source packages.
#
#   payload/build/build-wimlib.sh WORKDIR [HOST]
#
# HOST is the MinGW-w64 triple: i686-w64-mingw32 (default) or x86_64-w64-mingw32.
# Leaves WORKDIR/out/wimlib-imagex.exe: one static, stripped program, no DLL
# beside it (a DLL would be looked for in the folder the program starts in as
# well, so nothing can be planted next to it). Only what the split needs is
# built: no FUSE, no NTFS-3G, no OpenSSL, no SSSE3 SHA-1, libxml2 without
# HTTP, FTP, iconv, zlib or lzma. A stamp keyed on this script and HOST makes
# a repeated run instant.
#
# Exit code 3: a source package could not be fetched (the caller goes on
# without the splitter); any other failure is an error.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 WORKDIR [HOST]" >&2
  exit 2
fi
mkdir -p "$1"
work=$(cd "$1" && pwd)
script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
out="$work/out"
jobs=${DROVELKIT_JOBS:-2}
# Run from a build rule, the parent make's flags and jobserver would leak in.
unset MAKEFLAGS MFLAGS MAKELEVEL
host=${2:-i686-w64-mingw32}
cc=${host}-gcc-posix

stamp="$work/wimlib.stamp"
key="$( (cat "$script"; echo "$host") | sha256sum | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] && [ -f "$out/wimlib-imagex.exe" ]; then
  exit 0
fi
rm -f "$stamp"
command -v "$cc" >/dev/null || { echo "missing $cc" >&2; exit 1; }

src_parent="$work/src"
prefix="$work/prefix"
rm -rf "$src_parent" "$prefix"
mkdir -p "$src_parent" "$prefix" "$out"
start=$(date +%s)

# Unpacks Debian's source package $1 and prints its folder.
fetch_source() {
  local pkg=$1 dir
  # Running as root, apt would warn that it cannot drop to the _apt user.
  if ! (cd "$src_parent" && apt-get source -q -o APT::Sandbox::User=root "$pkg" > "$work/fetch-$pkg.log" 2>&1); then
    tail -n 5 "$work/fetch-$pkg.log" >&2
    echo "apt-get source $pkg failed" >&2
    exit 3
  fi
  dir=$(find "$src_parent" -maxdepth 1 -type d -name "$pkg-*" | head -n1)
  [ -n "$dir" ] || { echo "apt-get source $pkg left no $pkg-* folder" >&2; exit 1; }
  echo "$dir"
}

xml_src=$(fetch_source libxml2)
wim_src=$(fetch_source wimlib)
echo "sources fetched in $(( $(date +%s) - start )) s"

build_step() {
  local name=$1; shift
  nice -n 10 "$@" > "$work/$name.log" 2>&1 || {
    tail -n 40 "$work/$name.log" >&2
    echo "$name failed; log: $work/$name.log" >&2
    exit 1
  }
}

# libxml2's own CMake build: Debian's patches leave its Makefile.am newer
# than Makefile.in, and the autotools build would want automake. Threads
# are Windows' own: the POSIX compiler's pthread.h would make 2.9.14 mix
# both kinds and fail.
build_step xml-configure cmake -S "$xml_src" -B "$work/xml-build" -Wno-dev \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$cc" -DCMAKE_RC_COMPILER="${host}-windres" \
  -DCMAKE_FIND_ROOT_PATH="/usr/$host" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
  -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF \
  -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
  -DLIBXML2_WITH_MODULES=OFF -DLIBXML2_WITH_CATALOG=OFF -DLIBXML2_WITH_DEBUG=OFF \
  -DLIBXML2_WITH_LEGACY=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_PROGRAMS=OFF \
  -DHAVE_PTHREAD_H=0
build_step xml-make cmake --build "$work/xml-build" -j "$jobs"
build_step xml-install cmake --install "$work/xml-build"
xml_lib=$(find "$prefix" -name 'libxml2*.a' | head -n1)
[ -n "$xml_lib" ] || { echo "libxml2's build left no static library in $prefix" >&2; exit 1; }

# Debian's patches may leave the autotools' inputs newer than what they
# made; the generated files are made newer again so that make never wants
# automake.
(cd "$wim_src" && touch -c aclocal.m4 && sleep 1 && touch -c configure config.h.in && find . -name Makefile.in -exec touch {} +)

# wimlib's configure asks pkg-config for libxml2 unless told; LIBXML_STATIC
# keeps the headers from declaring libxml2's functions as DLL imports.
(cd "$wim_src" && build_step wim-configure ./configure --host="$host" CC="$cc" \
  --disable-shared --enable-static --without-fuse --without-ntfs-3g --without-libcrypto \
  --disable-ssse3-sha1 \
  LIBXML2_CFLAGS="-I$prefix/include/libxml2 -DLIBXML_STATIC" \
  LIBXML2_LIBS="$xml_lib")
# libtool reads a plain -static itself; -all-static reaches the compiler and
# takes the C runtime's helpers and the thread library in as well.
build_step wim-make make -C "$wim_src" -j "$jobs" LDFLAGS=-all-static wimlib-imagex.exe
${host}-strip -o "$out/wimlib-imagex.exe" "$wim_src/wimlib-imagex.exe"
if ${host}-objdump -p "$out/wimlib-imagex.exe" | grep -i 'DLL Name' | grep -vqiE \
     'kernel32|msvcrt|advapi32|ntdll|shell32|user32|ws2_32|api-ms-win'; then
  echo "wimlib-imagex.exe still needs a DLL of its own:" >&2
  ${host}-objdump -p "$out/wimlib-imagex.exe" | grep -i 'DLL Name' >&2
  exit 1
fi
echo "wimlib-imagex.exe built in $(( $(date +%s) - start )) s"
echo "$key" > "$stamp"
