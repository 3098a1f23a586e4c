#!/usr/bin/env bash
# Packs the payload block: the console SFX stub immediately followed by a
# password-protected 7z archive (encrypted headers) whose top folder is
# drovelkit/. OUTPUT.sha256 lists the SHA-256 of every file inside drovelkit/
# ("HEX path\inside"), which the program stores to check each tool before it
# starts it.
#
#   payload/build/make-payload.sh OUTPUT SFX_STUB STAGING_DIR SOURCE|DEST...
#
# Each further argument names a file and its path inside drovelkit/, split at
# the last "|". STAGING_DIR is emptied and refilled on every run.
set -euo pipefail

password=vorlint

if [ $# -lt 3 ]; then
  echo "usage: $0 OUTPUT SFX_STUB STAGING_DIR SOURCE|DEST..." >&2
  exit 2
fi
output=$1 stub=$2 staging=$3
shift 3

[ -f "$stub" ] || { echo "SFX stub $stub is missing" >&2; exit 1; }

rm -rf "$staging"
mkdir -p "$staging/drovelkit"
for entry in "$@"; do
  [ -n "$entry" ] || continue
  case "$entry" in
    *"|"*) ;;
    *) echo "payload entry without '|': $entry" >&2; exit 1 ;;
  esac
  src=${entry%|*} dest=${entry##*|}
  case "/$dest/" in
    //|//*|*/../*) echo "payload entry with a bad destination: $entry" >&2; exit 1 ;;
  esac
  [ -f "$src" ] || { echo "payload file $src is missing" >&2; exit 1; }
  if [ -e "$staging/drovelkit/$dest" ]; then
    echo "payload path drovelkit/$dest given twice" >&2
    exit 1
  fi
  mkdir -p "$(dirname "$staging/drovelkit/$dest")"
  cp "$src" "$staging/drovelkit/$dest"
done

(cd "$staging/drovelkit" && find . -type f | LC_ALL=C sort | while read -r file; do
  file=${file#./}
  printf '%s %s\n' "$(sha256sum "$file" | cut -d' ' -f1)" "${file//\//\\}"
done) > "$output.sha256.tmp"

archive="$staging/payload.7z"
# -mhe=on hides the file list too; without it the names would be readable.
(cd "$staging" && 7zz a -bd -bso0 -bsp0 -y -t7z -mx=7 -mmt=2 -mhe=on "-p$password" \
  payload.7z drovelkit)

mkdir -p "$(dirname "$output")"
cat "$stub" "$archive" > "$output.tmp"
mv -f "$output.tmp" "$output"
mv -f "$output.sha256.tmp" "$output.sha256"
echo "payload block: $(stat -c %s "$output") bytes (stub $(stat -c %s "$stub"), archive $(stat -c %s "$archive"))"
