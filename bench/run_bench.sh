#!/usr/bin/env bash
# Measures the console runner against the archiver alone, under Wine, on a
# 1.1 GiB image made for the purpose (320 MiB of incompressible data in many
# files, the rest one file of zeros that the image keeps as holes): long
# enough for CPU figures at the system's 10 ms accounting granularity.
#
#   bench/run_bench.sh [BUILD_DIR] [ROUNDS]     (default build/win32, 5 rounds)
#
# For build/win64 set DROVELKIT_WINE=/usr/lib/wine/wine64 (its Wine loader).
#
# Runs runner_bench.exe twice: without a window, then with the real main
# window on a virtual display. Everything it makes lives in BUILD_DIR/bench/work;
# the image and the extracted files are removed at the end, the prefix is kept
# for the next run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/win32}" && pwd)
rounds=${2:-5}
bench_exe="$build/bench/runner_bench.exe"
work="$build/bench/work"
image="$work/bench.iso"
[ -f "$bench_exe" ] || { echo "no $bench_exe: cmake --build $build --target runner_bench" >&2; exit 1; }

export WINEPREFIX="$work/prefix" WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH DISPLAY
wine=${DROVELKIT_WINE:-wine}
export DROVELKIT_WINE=$wine

cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$image" "$image.manifest" "$image.tree" "$work/drive_e"
}
trap cleanup EXIT

mkdir -p "$work/drive_e"
if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
  echo "creating the bench prefix (about 20 s)"
  "$wine" wineboot -i >/dev/null 2>&1
  wineserver -w
fi
ln -sfn "$work/drive_e" "$WINEPREFIX/dosdevices/e:"

echo "building the image"
bash "$here/../tests/win32/make_image.sh" bench "$image"
windows_image="Z:${image//\//\\}"

echo "== without a window"
"$wine" "$bench_exe" "$windows_image" 'E:\bench' "$rounds"
wineserver -k 2>/dev/null || true
echo "== with the main window on a virtual display"
bash "$here/../tests/win32/wine_run.sh" "$work" "$bench_exe" "$windows_image" 'E:\bench' "$rounds" --window
