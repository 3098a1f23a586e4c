#!/usr/bin/env bash
# Builds a test ISO image and a manifest of what the archiver must report.
#
#   make_image.sh small OUTPUT.iso   a few files and folders, label TESTLABEL
#   make_image.sh big OUTPUT.iso     320 MiB of incompressible data in about
#                                    2000 files, label BIGLABEL
#   make_image.sh bench OUTPUT.iso   the big tree and one 800 MiB file of
#                                    zeros (1.1 GiB), label BENCHLABEL; the
#                                    image is made sparse, so it costs 320 MiB
#
# OUTPUT.iso.manifest gets four lines: bytes=<total size of the files>,
# files=<number of files>, folders=<number of folders below the root>, and
# label=<volume label>. The tree is built next to the image and removed again.
set -euo pipefail

kind=${1:?kind: small or big}
iso=${2:?output image}
tree="$iso.tree"
rm -rf "$tree" "$iso" "$iso.manifest"
mkdir -p "$tree"

case "$kind" in
  small)
    label=TESTLABEL
    mkdir -p "$tree/boot/grub" "$tree/sources" "$tree/EFI/BOOT" "$tree/empty folder"
    # Sizes that are not multiples of the 2048-byte sector, so a size taken
    # from allocated sectors instead of file lengths would show.
    head -c 1000 /dev/zero | tr '\0' 'a' > "$tree/readme.txt"
    head -c 70001 /dev/zero | tr '\0' 'b' > "$tree/boot/grub/grub.cfg"
    head -c 1234567 /dev/zero | tr '\0' 'c' > "$tree/sources/install.wim"
    head -c 33333 /dev/zero | tr '\0' 'd' > "$tree/sources/boot with blanks.sdi"
    head -c 4097 /dev/zero | tr '\0' 'e' > "$tree/EFI/BOOT/BOOTX64.EFI"
    ;;
  big|bench)
    label=BIGLABEL
    mkdir -p "$tree/sources" "$tree/boot" "$tree/files"
    if [ "$kind" = bench ]; then
      label=BENCHLABEL
      # Zeros cost the archiver and the drive as much as any data; on the
      # build's disk they are holes.
      truncate -s 800M "$tree/sources/zeros.bin"
    fi
    head -c 100M /dev/urandom > "$tree/sources/install.wim"
    head -c 20M /dev/urandom > "$tree/boot/boot.sdi"
    echo "big test image" > "$tree/readme.txt"
    # Many files, as an installation image has: the archiver needs a few
    # seconds for them, long enough to report its progress several times.
    (cd "$tree/files" && head -c 200M /dev/urandom | split -b 100k -a 4 - part)
    for n in $(seq -w 0 19); do mkdir "$tree/files/s$n"; done
    i=0
    for part in "$tree"/files/part*; do
      mv "$part" "$tree/files/s$(printf %02d $((i % 20)))/"
      i=$((i + 1))
    done
    ;;
  *)
    echo "unknown kind $kind" >&2
    exit 2
    ;;
esac

bytes=$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }')
files=$(find "$tree" -type f | wc -l)
folders=$(find "$tree" -mindepth 1 -type d | wc -l)

# xorriso announces itself on standard error even when quiet; show it only
# when it fails.
if ! xorriso -as mkisofs -quiet -V "$label" -J -joliet-long -r -o "$iso.tmp" "$tree" 2>"$iso.log"; then
  cat "$iso.log" >&2
  exit 1
fi
rm -f "$iso.log"
# Holes where the image holds only zeros (the bench image's big file).
fallocate --dig-holes "$iso.tmp" 2>/dev/null || true
mv -f "$iso.tmp" "$iso"
rm -rf "$tree"
printf 'bytes=%s\nfiles=%s\nfolders=%s\nlabel=%s\n' "$bytes" "$files" "$folders" "$label" > "$iso.manifest"
