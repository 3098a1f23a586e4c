#!/usr/bin/env bash
# The set-up's source-package entries come from the machine's own `deb`
# entries, in both forms APT reads: one-line lists and deb822 files.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
script="$here/../../scripts/source-entries.sh"
apt=$(mktemp -d)
trap 'rm -rf "$apt"' EXIT
mkdir -p "$apt/sources.list.d"

cat > "$apt/sources.list" <<'LIST'
# a comment
deb [arch=amd64 signed-by=/usr/share/keyrings/a.gpg] http://proxy.example:3142/debian bookworm main contrib # trailing
deb-src http://proxy.example:3142/debian bookworm main
deb http://proxy.example:3142/debian-security bookworm-security main
LIST
cat > "$apt/sources.list.d/local.sources" <<'D822'
Types: deb
# a comment inside the stanza
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://off.example/debian
Suites: bookworm
Components: main
Enabled: no

Types: deb-src
URIs: http://src-only.example/debian
Suites: bookworm
Components: main
D822
echo 'Types: deb-src' > "$apt/sources.list.d/drovelkit-src.sources"
echo 'URIs: http://our-own.example/' >> "$apt/sources.list.d/drovelkit-src.sources"
echo 'Suites: x' >> "$apt/sources.list.d/drovelkit-src.sources"

want='Types: deb-src
URIs: http://proxy.example:3142/debian
Suites: bookworm
Components: main contrib
Signed-By: /usr/share/keyrings/a.gpg

Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'
got=$(bash "$script" "$apt" drovelkit-src.sources)
if [ "$got" != "$want" ]; then
  echo "FAIL entries from one-line and deb822 sources:"
  diff <(echo "$want") <(echo "$got")
  exit 1
fi
echo "ok   one deb-src entry per enabled deb entry, security suites and our own file left out"

rm -f "$apt/sources.list" "$apt/sources.list.d/local.sources"
got=$(bash "$script" "$apt" drovelkit-src.sources)
if [ -n "$got" ]; then
  echo "FAIL with no deb entry, entries were made up: $got"
  exit 1
fi
echo "ok   no deb entry: no entry"
