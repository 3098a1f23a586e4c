#!/usr/bin/env bash
# Runs one Windows program in the Win32 test prefix, on a virtual display of
# its own, and stops every Wine process of the prefix afterwards, so that no
# test inherits another's leftovers.
#
#   wine_run.sh WORK PROGRAM [ARGUMENTS...]
#
# The exit code is the program's. Without Xvfb the program runs with no
# display; tests that need a window then skip.
set -uo pipefail

work=${1:?work folder}
shift
export WINEPREFIX="$work/prefix" WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH DISPLAY
# The Wine loader for the build's programs (wine64 for the 64-bit build).
wine=${DROVELKIT_WINE:-wine}

if [ ! -d "$WINEPREFIX/drive_c" ]; then
  echo "no test prefix in $WINEPREFIX: run the win32_prefix fixture (wine_prefix.sh setup)" >&2
  exit 1
fi

xvfb_pid=
pid_file=
finish() {
  wineserver -k 2>/dev/null
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  rm -f "$display_file" "$pid_file"
}
display_file=$(mktemp "$work/display.XXXXXX")
trap 'finish; exit 143' TERM INT

if command -v Xvfb >/dev/null; then
  # Xvfb picks a free display number itself and writes it to fd 3.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -dpi 96 3>"$display_file" \
    >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  # A run that is killed outright (a test time-out) leaves this for cleanup.
  pid_file="$work/xvfb-$xvfb_pid.pid"
  echo "$xvfb_pid" > "$pid_file"
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  if [ -s "$display_file" ]; then
    export DISPLAY=":$(head -n1 "$display_file")"
  else
    echo "Xvfb reported no display; running without one" >&2
  fi
fi

"$wine" "$@"
code=$?
finish
exit $code
