#!/usr/bin/env bash
# From nothing to every test: installs the packages, builds the native and both
# Windows builds, runs the native tests, then the Wine and boot tests of every
# Windows build whose Wine loader starts on this machine (found by trying:
# some kernels run no 32-bit programs). A build that cannot run under Wine
# still has its other checks run, and the run says why its Wine suites did not.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
bash scripts/build.sh || exit 1

status=0
passed=0
failed=0
skipped=0
# Runs ctest in build $1 with the further arguments and adds up its results.
# Skipped tests did not run: they are counted apart, never as passed.
run_ctest() {
  local build=$1 log line total bad skip
  shift
  log=$(mktemp)
  ctest --test-dir "$build" --output-on-failure --timeout 900 "$@" < /dev/null 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    skip=$(sed -n '/^The following tests did not run:/,/^$/p' "$log" | grep -c '(Skipped)')
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
  else
    echo "no test summary from ctest in $build"
    status=1
  fi
  rm -f "$log"
}

run_ctest build/native
wine_ran=no
notes=()
while read -r -u 3 build mode reason; do
  if [ "$mode" = all ]; then
    run_ctest "$build"
    wine_ran=yes
    echo "Screenshots: $build/screenshots"
  else
    run_ctest "$build" -LE wine
    notes+=("$reason")
  fi
done 3< <(python3 scripts/wine_variants.py plan)

for note in "${notes[@]}"; do echo "$note"; done
if [ "$wine_ran" = no ]; then
  echo "No Windows build could be tested under Wine on this machine."
  status=1
fi
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
exit $status
