#!/usr/bin/env bash
# Prints deb-src entries (deb822 form) for the Debian archives that the
# machine already uses: one for each `deb` entry configured in APT_DIR
# (default /etc/apt), in one-line form (sources.list, *.list) or in deb822
# form (*.sources), with the same addresses, suites, components and key. So
# the source packages come through whatever mirror or proxy the machine uses.
#
#   scripts/source-entries.sh [APT_DIR] [SKIP_FILE]
#
# SKIP_FILE (a file name) is left out: the file these entries are written to.
# Security suites are left out: their mirrors lack some source files.
set -euo pipefail

apt_dir=${1:-/etc/apt}
skip=${2:-}
files=()
[ -f "$apt_dir/sources.list" ] && files+=("$apt_dir/sources.list")
for f in "$apt_dir"/sources.list.d/*.list "$apt_dir"/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  [ -n "$skip" ] && [ "$(basename "$f")" = "$skip" ] && continue
  files+=("$f")
done
[ "${#files[@]}" -gt 0 ] || exit 0

awk '
function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
function keep_suites(list,   n, i, out, parts) {
  n = split(list, parts, /[ \t]+/)
  out = ""
  for (i = 1; i <= n; i++)
    if (parts[i] != "" && parts[i] !~ /-security$/ && parts[i] !~ /\/updates$/)
      out = out (out == "" ? "" : " ") parts[i]
  return out
}
function emit(uris, suites, components, signed,   kept) {
  kept = keep_suites(suites)
  if (uris == "" || kept == "") return
  if (printed++) print ""
  print "Types: deb-src"
  print "URIs: " uris
  print "Suites: " kept
  if (components != "") print "Components: " components
  if (signed != "") print "Signed-By: " signed
}
function flush(   i, n, types, isdeb) {
  if (in_stanza) {
    n = split(f["types"], types, /[ \t]+/)
    isdeb = 0
    for (i = 1; i <= n; i++) if (types[i] == "deb") isdeb = 1
    if (isdeb && tolower(f["enabled"]) != "no")
      emit(f["uris"], f["suites"], f["components"], f["signed-by"])
  }
  delete f
  in_stanza = 0
  last = ""
}
FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
# deb822: "Field: value" lines, continuation lines start with a blank,
# stanzas end at an empty line.
deb822 {
  if ($0 ~ /^[ \t]*#/) next
  if ($0 ~ /^[ \t]*$/) { flush(); next }
  if ($0 ~ /^[ \t]/ && last != "") { f[last] = f[last] "\n" $0; next }
  colon = index($0, ":")
  if (colon == 0) next
  last = tolower(trim(substr($0, 1, colon - 1)))
  f[last] = trim(substr($0, colon + 1))
  in_stanza = 1
  next
}
# One-line form: deb [options] URI SUITE [COMPONENT...]
{
  line = $0
  sub(/#.*/, "", line)
  line = trim(line)
  if (line !~ /^deb[ \t]/) next
  line = trim(substr(line, 4))
  signed = ""
  if (substr(line, 1, 1) == "[") {
    close_at = index(line, "]")
    if (close_at == 0) next
    n = split(substr(line, 2, close_at - 2), opts, /[ \t]+/)
    for (i = 1; i <= n; i++)
      if (tolower(opts[i]) ~ /^signed-by=/) signed = substr(opts[i], 11)
    line = trim(substr(line, close_at + 1))
  }
  n = split(line, words, /[ \t]+/)
  if (n < 2) next
  components = ""
  for (i = 3; i <= n; i++) components = components (i > 3 ? " " : "") words[i]
  emit(words[1], words[2], components, signed)
}
END { flush() }
' "${files[@]}"
