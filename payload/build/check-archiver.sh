#!/usr/bin/env bash
# Checks under Wine that the payload's archiver keeps the contract the program
# relies on: a listing with the one-line "Comment = LABEL" CR LF and the summary
# line, the loader probe writing only grldr and menu.lst, and the full
# extraction ending with "Everything is Ok".
#
#   payload/build/check-archiver.sh ARCHIVER_EXE WORKDIR WINEPREFIX
set -uo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 ARCHIVER_EXE WORKDIR WINEPREFIX" >&2
  exit 2
fi
if [ ! -f "$1" ]; then
  echo "FAIL archiver $1 is missing (build target payload_archiver)"
  echo "0 passed, 1 failed"
  exit 1
fi
archiver=$(realpath "$1")
mkdir -p "$2"
work=$(cd "$2" && pwd)
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=wine-prefix.sh
. "$here/wine-prefix.sh" "$3"

passed=0 failed=0
pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }

tree="$work/tree"
rm -rf "$tree" "$work/images" "$work/wine-stderr.log"
mkdir -p "$tree/sub" "$work/images"
head -c 123456 /dev/urandom > "$tree/a.bin"
printf 'loader\n' > "$tree/grldr"
printf 'title x\n' > "$tree/menu.lst"
printf 'hi\n' > "$tree/sub/b.txt"
tree_bytes=$(( 123456 + 7 + 8 + 3 ))

# name | label | maker. The long label is 26 characters: the Joliet descriptor
# keeps only 16 of them, the primary one all.
cases=(
  "iso-joliet|MYLABEL|xorriso"
  "iso-long-label|UBUNTU_22_04_3_LTS_AMD64_X|xorriso"
  "udf-bridge|CCSA_X64FRE_EN-US_DV5|genisoimage"
)

run_archiver() {
  # The archiver is a console program: CR LF line ends reach the pipe as is.
  # One that ran always prints its banner; no output at all means Wine did
  # not start it (seen once, exit 1, in a fresh prefix): that is tried again
  # once, and Wine's own complaints are kept for a look.
  local out rc try
  out=$(mktemp)
  for try in 1 2; do
    timeout 120 "$wine" "$archiver" "$@" < /dev/null > "$out" 2>> "$work/wine-stderr.log"
    rc=$?
    [ -s "$out" ] && break
    echo "run $try of the archiver printed nothing (exit $rc)" >> "$work/wine-stderr.log"
  done
  cat "$out"
  rm -f "$out"
  return "$rc"
}

for c in "${cases[@]}"; do
  IFS='|' read -r name label maker <<< "$c"
  img="$work/images/$name.iso"
  if [ "$maker" = xorriso ]; then
    xorriso -as mkisofs -quiet -V "$label" -J -r -o "$img" "$tree" > /dev/null 2>&1
  else
    genisoimage -quiet -udf -J -r -V "$label" -o "$img" "$tree" > /dev/null 2>&1
  fi
  if [ ! -f "$img" ]; then
    fail "$name: $maker made no image"
    continue
  fi
  wimg=$("$wine" winepath -w "$img")

  listing="$work/$name.list.txt"
  run_archiver l "$wimg" > "$listing"
  rc=$?
  comments=$(grep -ac 'Comment =' "$listing")
  if [ "$rc" -eq 0 ] && [ "$comments" -eq 1 ] &&
     grep -aq "^Comment = $label"$'\r'"\$" "$listing"; then
    pass "$name: listing has the line \"Comment = $label\" CR LF"
  else
    fail "$name: exit $rc, $comments comment lines, wanted \"Comment = $label\" CR LF; listing $listing:"
    grep -a -A3 'Comment =' "$listing" | cat -A | sed 's/^/     /'
  fi
  summary=$(grep -aoE '[0-9]{1,20}[ ]{1,4}[0-9]{1,20} files, [0-9]{1,20} folders' "$listing")
  if grep -aqE " $tree_bytes +[0-9]+ +4 files, 1 folders"$'\r'"\$" "$listing" &&
     [ "$summary" != "" ]; then
    pass "$name: summary line \"$summary\""
  else
    fail "$name: no summary line with $tree_bytes bytes, 4 files, 1 folders:"
    tail -n 3 "$listing" | cat -A | sed 's/^/     /'
  fi

  probe="$work/$name.probe"
  rm -rf "$probe"
  mkdir -p "$probe"
  run_archiver x -y "$wimg" "-o$("$wine" winepath -w "$probe")\\" grldr menu.lst > "$work/$name.probe.txt"
  rc=$?
  got=$(cd "$probe" && find . -mindepth 1 | sort | tr '\n' ' ')
  if [ "$rc" -eq 0 ] && [ "$got" = "./grldr ./menu.lst " ] &&
     cmp -s "$probe/grldr" "$tree/grldr"; then
    pass "$name: loader probe wrote grldr and menu.lst only"
  else
    fail "$name: loader probe exit $rc wrote: $got"
  fi

  full="$work/$name.full"
  rm -rf "$full"
  mkdir -p "$full"
  run_archiver x -y -bsp1 "$wimg" "-o$("$wine" winepath -w "$full")\\" > "$work/$name.full.txt"
  rc=$?
  if [ "$rc" -eq 0 ] && grep -aq 'Everything is Ok' "$work/$name.full.txt" &&
     cmp -s "$full/a.bin" "$tree/a.bin" && cmp -s "$full/sub/b.txt" "$tree/sub/b.txt"; then
    pass "$name: full extraction is complete and says Everything is Ok"
  else
    fail "$name: full extraction exit $rc; output $work/$name.full.txt"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
