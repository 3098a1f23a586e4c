#!/usr/bin/env bash
# Checks under Wine that the payload block unpacks the way the program runs
# it: saved as drovelkit.exe in a folder with blanks and started there with
# "-y -pvorlint", it must create drovelkit\... without any question, also over
# an earlier unpacking; with a wrong password it must fail and write nothing.
#
#   payload/build/check-payload.sh PAYLOAD_BIN WORKDIR WINEPREFIX SOURCE|DEST...
#
# Each SOURCE|DEST names a file that must arrive as drovelkit/DEST, byte for byte.
set -uo pipefail

if [ $# -lt 4 ]; then
  echo "usage: $0 PAYLOAD_BIN WORKDIR WINEPREFIX SOURCE|DEST..." >&2
  exit 2
fi
if [ ! -f "$1" ]; then
  echo "FAIL payload block $1 is missing (build target payload_block)"
  echo "0 passed, 1 failed"
  exit 1
fi
payload=$(realpath "$1")
mkdir -p "$2"
work=$(cd "$2" && pwd)
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=wine-prefix.sh
. "$here/wine-prefix.sh" "$3"
shift 3

passed=0 failed=0
pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }

# Runs the self-extractor in folder $1 (a Unix path) with the switches that
# follow. Questions would read standard input: it is empty, so a question
# cannot be answered and shows up as a failure or a hang (bounded).
run_sfx() {
  local dir=$1
  shift
  (cd "$dir" && timeout 120 "$wine" "$("$wine" winepath -w "$dir/drovelkit.exe")" "$@" < /dev/null > "$dir.out" 2>&1)
}

# Files the archive must deliver, compared byte for byte.
check_files() {
  local root=$1 entry src dest bad=0
  shift
  for entry in "$@"; do
    src=${entry%|*} dest=${entry##*|}
    if ! cmp -s "$src" "$root/drovelkit/$dest"; then
      echo "     drovelkit/$dest differs from $src or is missing"
      bad=1
    fi
  done
  return "$bad"
}

dir="$work/path with blanks"
rm -rf "$dir" "$work/wrong password"
mkdir -p "$dir"
cp "$payload" "$dir/drovelkit.exe"

run_sfx "$dir" -y -pvorlint
rc=$?
if [ "$rc" -eq 0 ] && check_files "$dir" "$@"; then
  pass "unpacks into drovelkit\\ of its working folder (a path with blanks), $# files as packed"
else
  fail "first unpacking: exit $rc; output:"
  sed 's/^/     /' "$dir.out"
fi

other=$(cd "$dir/drovelkit" 2>/dev/null && find . -type f | wc -l)
if [ "${other:-0}" -eq "$#" ]; then
  pass "the archive holds exactly the $# files given"
else
  fail "the archive holds ${other:-0} files, $# given"
fi

# A stale marker from an earlier run must be overwritten without a question.
echo stale > "$dir/drovelkit/7zdrovelkit.exe"
run_sfx "$dir" -y -pvorlint
rc=$?
if [ "$rc" -eq 0 ] && check_files "$dir" "$@"; then
  pass "unpacks again over an earlier unpacking without a question"
else
  fail "second unpacking: exit $rc; output:"
  sed 's/^/     /' "$dir.out"
fi

bad="$work/wrong password"
mkdir -p "$bad"
cp "$payload" "$bad/drovelkit.exe"
run_sfx "$bad" -y -pwrong
rc=$?
written=$(cd "$bad" && find . -mindepth 1 ! -name drovelkit.exe | wc -l)
# The failure must be the extractor's own answer (7-Zip's fatal error, 2, with
# its reason), not a program that never started: the shell's 126 and 127 and
# the loader's refusals fail too, and would pass a bare "not 0".
if [ "$rc" -eq 2 ] && grep -qi 'wrong password' "$bad.out" && [ "$written" -eq 0 ]; then
  pass "a wrong password fails (exit $rc, \"Wrong password\") and writes nothing"
else
  fail "wrong password: exit $rc, $written entries written; output:"
  sed 's/^/     /' "$bad.out"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
