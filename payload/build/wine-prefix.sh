# Sourced by the payload checks: prepares the Wine prefix named by $1 once.
# The checks that share a prefix must not run at the same time (ctest
# RESOURCE_LOCK), since each stops the prefix's wineserver when it ends.

export WINEPREFIX=$1
# The Wine loader for the build's programs (wine64 for the 64-bit build).
wine=${DROVELKIT_WINE:-wine}
export WINEDEBUG=-all
# No Mono or Gecko prompts: console programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i > /dev/null 2>&1
  wineserver -w
fi
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
