#!/usr/bin/env bash
# Measures the whole copy of a Windows image onto FAT32 (everything
# extracted but sources/install.wim, which the program splits itself, read in
# place out of the ISO) against the same image copied onto NTFS (extracted
# whole), both through the program's own copy operation (the native build's
# copy_road, which carries out every tool run with the Linux tools) into a
# folder on the same disk:
#
#   bench/fat32_copy_bench.sh [BUILD_DIR] [ROUNDS]   (default build/native, 3 rounds)
#
# The image holds a Windows-sized install.wim (bench/make_bench_wim.sh) and a
# few small files, in an ISO 9660 level 3 image (xorriso). Each run is timed
# up to the end of a `sync`, and the order alternates between rounds. Prints
# each time, the best of each and the ratio FAT32 / NTFS.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/native}" && pwd)
rounds=${2:-3}
copy_road="$build/tests/unit/copy_road"
front="$build/bootice/bootice"
for tool in "$copy_road" "$front"; do
  [ -x "$tool" ] || { echo "no $tool: build $build first" >&2; exit 1; }
done
for tool in 7zz xorriso wimlib-imagex; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

work="$build/bench/copy-work"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/iso/sources" "$work/iso/boot" "$work/run"

bash "$here/make_bench_wim.sh" "$work/iso/sources/install.wim"
head -c $((300 << 20)) /dev/urandom > "$work/iso/sources/boot.wim"
for i in $(seq 1 200); do head -c $((i * 1024)) /dev/urandom > "$work/iso/boot/file$i.bin"; done
xorriso -as mkisofs -quiet -iso-level 3 -J -R -o "$work/image.iso" "$work/iso"
rm -rf "$work/iso"
echo "image: $(stat -c %s "$work/image.iso") bytes"

# Seconds (with nanoseconds) that one copy onto a fresh disk image takes.
timed_copy() {
  local fs=$1 begin end
  rm -rf "$work/run"/* "$work/disk.img"
  truncate -s 8G "$work/disk.img"
  sync
  begin=$(date +%s.%N)
  "$copy_road" "$fs" "$work/image.iso" "$work/disk.img" "$work/run" "$front" "$(command -v 7zz)" >"$work/$fs.log" \
    || { echo "the $fs copy failed; see its log:" >&2; tail -n 20 "$work/$fs.log" >&2; exit 1; }
  sync
  end=$(date +%s.%N)
  echo "$end - $begin" | bc
}

best_fat32="" best_ntfs=""
# The order alternates: the disk's own write-back of one run can slow the
# next, and neither should always be the one slowed.
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) = 1 ]; then
    fat32=$(timed_copy fat32)
    parts=$(find "$work/run/tree/sources" -iname 'install*.swm' | wc -l)
    ntfs=$(timed_copy ntfs)
  else
    ntfs=$(timed_copy ntfs)
    fat32=$(timed_copy fat32)
    parts=$(find "$work/run/tree/sources" -iname 'install*.swm' | wc -l)
  fi
  printf "round %d: FAT32 %.2f s (%d parts), NTFS %.2f s\n" "$round" "$fat32" "$parts" "$ntfs"
  if [ -z "$best_fat32" ] || [ "$(echo "$fat32 < $best_fat32" | bc)" = 1 ]; then best_fat32=$fat32; fi
  if [ -z "$best_ntfs" ] || [ "$(echo "$ntfs < $best_ntfs" | bc)" = 1 ]; then best_ntfs=$ntfs; fi
done
printf "best: FAT32 %.2f s, NTFS %.2f s\n" "$best_fat32" "$best_ntfs"
printf "ratio FAT32 / NTFS: %.3f (target <= 1.15)\n" "$(echo "scale=6; $best_fat32 / $best_ntfs" | bc)"
