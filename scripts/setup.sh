#!/usr/bin/env bash
# Installs every Debian package that building and testing Drovelkit needs.
# Safe to run again: each step checks before it changes anything.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

# wine32 is an i386 package; the 32-bit Windows build runs as a 32-bit program
# (on kernels that run them; the 64-bit build needs only wine64).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi

# Source packages (7-Zip, edk2, PCRE2, libpng) are built by the project's build:
# their entries take the addresses of the machine's own `deb` entries, so the
# set-up works behind whatever mirror or proxy the machine uses.
src_list=/etc/apt/sources.list.d/drovelkit-src.sources
src_entry=$(bash "$(dirname "$0")/source-entries.sh" /etc/apt "$(basename "$src_list")")
if [ -z "$src_entry" ]; then
  echo "setup: no Debian 'deb' entry in /etc/apt to take the source packages' address from" >&2
  exit 1
fi
sources_changed=no
if [ "$(cat "$src_list" 2>/dev/null)" != "$src_entry" ]; then
  printf '%s\n' "$src_entry" | $SUDO tee "$src_list" >/dev/null
  sources_changed=yes
fi

packages=(
  # native build and tests
  build-essential cmake pkg-config googletest libgtest-dev libgmock-dev
  libpcre2-dev libpng-dev zlib1g-dev
  # Windows cross build
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  mingw-w64-i686-dev libz-mingw-w64-dev nasm dpkg-dev
  # the 64-bit variant
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev
  # payload: archiver, firmware, packing
  7zip seabios ovmf acpica-tools uuid-dev python3 python-is-python3
  # payload checks: a UDF bridge image like the Windows install discs
  genisoimage
  # running the program and its tests
  wine wine32:i386 wine64 xvfb xdotool x11-utils imagemagick fvwm
  qemu-system-x86 qemu-utils xorriso mtools dosfstools
  ntfs-3g exfatprogs exfat-fuse fdisk
  # the boot tool's UEFI loaders and NTFS and exFAT driver (built with gcc
  # at build time), and the boot tests' own UEFI programs; Debian's shim as
  # an image's loader that reads grubx64.efi through the firmware
  gnu-efi shim-signed
  # boot tests of prepared drives: GRUB as a loader started by a boot
  # sector, GRUB EFI images and hybrid images
  grub-common grub-pc-bin grub-efi-amd64-bin grub-efi-ia32-bin
  # Wine tests: Wine's own fonts (the stock system font among them) and a
  # fixed-pitch face to stand in for Consolas
  fonts-wine fonts-dejavu-core
  # Wine tests of the operations: the host-built X11 drag source (xdnd_drag)
  libx11-dev
  # the road test of a Windows image split for FAT32 (Debian's wimlib-imagex
  # stands for the payload's splitter); Secure Boot rows: signed GRUB beside
  # the signed shim
  wimtools grub-efi-amd64-signed
  # fuzz targets of the output parsers: clang with libFuzzer
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ "$sources_changed" = yes ] || \
   ! ls /var/lib/apt/lists/*Sources* >/dev/null 2>&1; then
  $SUDO apt-get update -q
fi
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
