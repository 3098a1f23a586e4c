#!/usr/bin/env bash
# The Wine prefix of the Win32 tests, made fresh for every test run.
#
#   wine_prefix.sh setup WORK CHKDSK_STAND_IN   a new prefix in WORK/prefix
#   wine_prefix.sh cleanup WORK                 stops its Wine processes
#
# Setup boots the prefix (about 20 s), puts the disk-checker stand-in into the
# 64-bit system folder (only a 64-bit interpreter finds it there, as only the
# native chkdsk.exe is found on 64-bit Windows) and maps drive E: to the
# folder WORK/drive_e for the extraction tests.
set -euo pipefail

action=${1:?setup or cleanup}
work=${2:?work folder}
prefix="$work/prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all LC_ALL=C.UTF-8
# No Mono or Gecko install dialogs, no menu entries in the home folder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH DISPLAY
# The Wine loader for the build's programs (wine64 for the 64-bit build).
wine=${DROVELKIT_WINE:-wine}

case "$action" in
  setup)
    stand_in=${3:?chkdsk stand-in}
    if [ -d "$prefix" ]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$prefix" "$work/drive_e"
    mkdir -p "$work/drive_e"
    "$wine" wineboot -i >/dev/null 2>&1
    wineserver -w
    system32="$prefix/drive_c/windows/system32"
    syswow64="$prefix/drive_c/windows/syswow64"
    [ -f "$system32/cmd.exe" ] || { echo "wineboot made no prefix in $prefix" >&2; exit 1; }
    [ -d "$syswow64" ] || echo "note: $prefix is a 32-bit prefix; there is no Sysnative"
    for folder in "$system32" "$syswow64"; do
      if [ -e "$folder/chkdsk.exe" ]; then
        echo "this Wine ships $folder/chkdsk.exe; the tests replace it" >&2
        rm -f "$folder/chkdsk.exe"
      fi
    done
    cp "$stand_in" "$system32/chkdsk.exe"
    ln -sfn "$work/drive_e" "$prefix/dosdevices/e:"
    echo "prefix ready: $prefix"
    ;;
  cleanup)
    if [ -d "$prefix" ]; then wineserver -k 2>/dev/null || true; fi
    # Displays of runs that were killed before they could stop their own.
    for pid_file in "$work"/xvfb-*.pid; do
      [ -f "$pid_file" ] || continue
      pid=$(cat "$pid_file")
      if grep -q Xvfb "/proc/$pid/cmdline" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
      rm -f "$pid_file"
    done
    rm -f "$work"/display.*
    rm -rf "$work/drive_e"/*
    ;;
  *)
    echo "usage: $0 setup WORK CHKDSK_STAND_IN | cleanup WORK" >&2
    exit 2
    ;;
esac
