#!/usr/bin/env bash
# From nothing to every test: installs the packages, builds both builds, then
# runs the native tests and the Wine and boot tests of the Windows build.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
bash scripts/build.sh || exit 1

status=0
passed=0
failed=0
for build in build/native build/win32; do
  log=$(mktemp)
  ctest --test-dir "$build" --output-on-failure --timeout 900 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    status=1
  fi
  rm -f "$log"
done
echo "Screenshots: build/win32/screenshots"
echo "$passed passed, $failed failed"
exit $status
