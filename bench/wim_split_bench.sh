#!/usr/bin/env bash
# Measures wimsplit (wim/) against `wimlib-imagex split` on a Windows-sized
# image, both splitting at 3800 MiB into a folder on the same disk:
#
#   bench/wim_split_bench.sh [BUILD_DIR] [ROUNDS]   (default build/native, 3 rounds)
#
# The image (about 4.6 GiB, bench/make_bench_wim.sh) holds large stored and
# large compressed resources, as a real install.wim does; it is removed at
# the end with the parts.
#
# Each run is timed up to the end of a `sync`, so that what one run leaves
# in the page cache to be written is charged to it and not to the next.
# Prints each time, the best of each tool and the ratio wimsplit / wimlib
# (below 1.0: wimsplit is faster); then `wimlib-imagex verify` checks the
# last set wimsplit wrote, so that a fast but wrong split shows.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/native}" && pwd)
rounds=${2:-3}
wimsplit="$build/wim/wimsplit"
[ -x "$wimsplit" ] || { echo "no $wimsplit: cmake --build $build --target wimsplit" >&2; exit 1; }
command -v wimlib-imagex >/dev/null || { echo "wimlib-imagex is missing" >&2; exit 1; }

work="$build/bench/wim-work"
image="$work/install.wim"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/ours" "$work/wimlib"
bash "$here/make_bench_wim.sh" "$image"
sync

# Seconds (with nanoseconds) that a command takes, sync included.
timed() {
  local begin end
  begin=$(date +%s.%N)
  "$@" >/dev/null
  sync
  end=$(date +%s.%N)
  echo "$end - $begin" | bc
}

best_ours="" best_wimlib=""
for round in $(seq 1 "$rounds"); do
  rm -rf "$work/ours"/* "$work/wimlib"/*; sync
  ours=$(timed "$wimsplit" "$image" "$work/ours/install.swm" 3800)
  parts_ours=$(ls "$work/ours" | wc -l)
  theirs=$(timed wimlib-imagex split "$image" "$work/wimlib/install.swm" 3800)
  parts_wimlib=$(ls "$work/wimlib" | wc -l)
  printf "round %d: wimsplit %.2f s (%d parts), wimlib-imagex split %.2f s (%d parts)\n" \
    "$round" "$ours" "$parts_ours" "$theirs" "$parts_wimlib"
  if [ -z "$best_ours" ] || [ "$(echo "$ours < $best_ours" | bc)" = 1 ]; then best_ours=$ours; fi
  if [ -z "$best_wimlib" ] || [ "$(echo "$theirs < $best_wimlib" | bc)" = 1 ]; then best_wimlib=$theirs; fi
done
printf "best: wimsplit %.2f s, wimlib-imagex split %.2f s\n" "$best_ours" "$best_wimlib"
printf "ratio wimsplit / wimlib-imagex split: %.3f (target <= 1.0)\n" "$(echo "scale=6; $best_ours / $best_wimlib" | bc)"
echo "verifying wimsplit's set"
wimlib-imagex verify "$work/ours/install.swm" --ref="$work/ours/install*.swm" | tail -1
ls -l "$work/ours" "$work/wimlib"
