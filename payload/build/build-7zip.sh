#!/usr/bin/env bash
# Cross-builds the payload's archiver and self-extractor stub for Windows
# from Debian's 7zip source package, with the volume-label patch.
#
#   payload/build/build-7zip.sh WORKDIR [HOST]
#
# HOST is the MinGW-w64 triple: i686-w64-mingw32 (default) or x86_64-w64-mingw32.
# Leaves WORKDIR/out/7zdrovelkit.exe (console 7-Zip with the formats the
# program reads: 7z, ISO and UDF) and WORKDIR/out/7zCon.sfx (console SFX stub,
# bundle SFXCon), both stripped. A stamp keyed on this script, the patch and
# HOST makes a repeated run instant.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 WORKDIR [HOST]" >&2
  exit 2
fi
mkdir -p "$1"
work=$(cd "$1" && pwd)
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
patch_file="$here/7zip-volume-comment.patch"
out="$work/out"
jobs=${DROVELKIT_JOBS:-2}
# Run from a build rule, the parent make's flags and jobserver would leak in.
unset MAKEFLAGS MFLAGS MAKELEVEL
host=${2:-i686-w64-mingw32}

stamp="$work/7zip.stamp"
key="$( (cat "$here/build-7zip.sh" "$patch_file"; echo "$host") | sha256sum | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] &&
   [ -f "$out/7zdrovelkit.exe" ] && [ -f "$out/7zCon.sfx" ]; then
  exit 0
fi
rm -f "$stamp"

# A changed patch needs pristine sources, so the tree is unpacked afresh.
src_parent="$work/src"
rm -rf "$src_parent"
mkdir -p "$src_parent" "$out"
start=$(date +%s)
# Running as root, apt would warn that it cannot drop to the _apt user.
(cd "$src_parent" && apt-get source -q -o APT::Sandbox::User=root 7zip > "$work/fetch.log" 2>&1) || {
  tail -n 20 "$work/fetch.log" >&2
  exit 1
}
src=$(find "$src_parent" -maxdepth 1 -type d -name '7zip-*' | head -n1)
[ -n "$src" ] || { echo "apt-get source 7zip left no 7zip-* folder" >&2; exit 1; }
patch -d "$src" -p1 --forward --batch --quiet < "$patch_file"
echo "7-Zip source fetched and patched in $(( $(date +%s) - start )) s"

# RC, MY_MKDIR and RM default to the tools of a Windows host; the compilers
# are named explicitly because the unsuffixed names follow update-alternatives.
make_args=(
  -f ../../cmpl_gcc.mak IS_MINGW=1 DISABLE_RAR=1
  CROSS_COMPILE=${host}-
  CC=${host}-gcc-posix CXX=${host}-g++-posix RC=${host}-windres
  MY_MKDIR="mkdir -p" RM="rm -f"
)
build_bundle() {
  local bundle=$1 prog=$2 dest=$3 t0
  t0=$(date +%s)
  mkdir -p "$src/CPP/7zip/Bundles/$bundle/b/g"
  nice -n 10 make -C "$src/CPP/7zip/Bundles/$bundle" -j "$jobs" "${make_args[@]}" \
    > "$work/build-$bundle.log" 2>&1 || {
    tail -n 40 "$work/build-$bundle.log" >&2
    echo "7-Zip bundle $bundle failed; log: $work/build-$bundle.log" >&2
    exit 1
  }
  ${host}-strip -o "$dest" "$src/CPP/7zip/Bundles/$bundle/b/g/$prog.exe"
  echo "7-Zip $bundle built in $(( $(date +%s) - t0 )) s"
}
# The program only lists and extracts ISO images (UDF bridge discs among
# them). The full console bundle (Alone2) carries some fifty formats, about 320
# files to compile; the 7z-only console bundle plus those two formats and what
# they need is about 180.
bundle="$src/CPP/7zip/Bundles/Drovelkit"
rm -rf "$bundle"
cp -r "$src/CPP/7zip/Bundles/Alone7z" "$bundle"
sed -i 's|^AR_OBJS = \\$|&\n  $O/IsoHandler.o $O/IsoHeader.o $O/IsoIn.o $O/IsoRegister.o \\\n  $O/UdfHandler.o $O/UdfIn.o $O/FindSignature.o $O/MyMap.o $O/PropVariantUtils.o \\|' \
  "$bundle/makefile.gcc"
grep -q 'UdfIn.o' "$bundle/makefile.gcc" || { echo "7-Zip: no AR_OBJS list in Alone7z/makefile.gcc" >&2; exit 1; }
build_bundle Drovelkit 7zr "$out/7zdrovelkit.exe"
build_bundle SFXCon 7zCon "$out/7zCon.sfx"
echo "7-Zip total $(( $(date +%s) - start )) s"

echo "$key" > "$stamp"
