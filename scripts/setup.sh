#!/usr/bin/env bash
# Installs every Debian package that building and testing Drovelkit needs.
# Safe to run again: each step checks before it changes anything.
#
# A mirror caught in mid-sync is ordinary: `apt-get update` is tried a few
# times and then the install goes on with the indexes apt has. The i386
# packages (32-bit Wine) come last, only where this kernel runs 32-bit
# programs, and their failure is reported, not fatal: the test command then
# tests the 64-bit build alone.
#
# For the set-up's own tests: SETUP_APT_DIR (the APT configuration folder),
# SETUP_APT_LISTS (apt's index folder), SETUP_RETRY_PAUSE (seconds between
# update tries), SETUP_I386_PROBE (a program whose start tells whether 32-bit
# programs run).
set -uo pipefail

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
here=$(cd "$(dirname "$0")" && pwd)
apt_dir=${SETUP_APT_DIR:-/etc/apt}
apt_lists=${SETUP_APT_LISTS:-/var/lib/apt/lists}
pause=${SETUP_RETRY_PAUSE:-15}
update_tries=4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { echo "setup: $*"; }

# A 93-byte i386 ELF program that only exits 0: whether the kernel starts it
# is the question, asked by trying rather than guessed from the CPU.
runs_32bit_programs() {
  local probe=${SETUP_I386_PROBE:-}
  if [ -z "$probe" ]; then
    probe="$work/probe32"
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' > "$probe"
    chmod +x "$probe"
  fi
  "$probe" >/dev/null 2>&1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Prints the packages of "$@" that are not installed.
missing_of() {
  local p
  for p in "$@"; do installed "$p" || echo "$p"; done
}

# Indexes that the last update could not fetch, one a line (apt's own words).
failed_indexes() { grep -E '^(E|W|Err): ?(Failed to fetch|.*Mirror sync)' "$work/update.log" 2>/dev/null | sort -u; }

# `apt-get update`, tried again after a pause while it fails. When an index
# still fails, the install goes on with what apt has and decides.
update() {
  local try
  for ((try = 1; try <= update_tries; try++)); do
    if $SUDO apt-get update -q > "$work/update.log" 2>&1; then
      rm -f "$work/update.log"
      return 0
    fi
    [ "$try" -lt "$update_tries" ] && { say "apt-get update failed (try $try of $update_tries); again in ${pause} s"; sleep "$pause"; }
  done
  say "apt-get update failed $update_tries times; going on with the indexes apt has:"
  failed_indexes | sed 's/^/  /'
  return 1
}

# Installs "$@"; on failure names the packages apt could not install (those
# its problem lines name, else the ones still missing), the index the update
# could not fetch, and apt's own reasons, and returns 1.
install() {
  local named p failed=()
  $SUDO apt-get install -y -q --no-install-recommends "$@" > "$work/install.log" 2>&1 && return 0
  named=$(sed -nE 's/^ +([^ ]+) : .*/\1/p' "$work/install.log" | sort -u)
  for p in "$@"; do grep -qxF "$p" <<<"$named" && failed+=("$p"); done
  [ "${#failed[@]}" -gt 0 ] || mapfile -t failed < <(missing_of "$@")
  say "could not install: ${failed[*]:-$*}"
  if [ -s "$work/update.log" ]; then
    say "the package index was incomplete; apt-get update said:"
    failed_indexes | sed 's/^/  /'
  fi
  say "apt-get install said:"
  grep -E '^(E:| +[^ ]+ : )' "$work/install.log" | head -n 12 | sed 's/^/  /'
  return 1
}

# Source packages (7-Zip, edk2, PCRE2, libpng) are built by the project's build:
# their entries take the addresses of the machine's own `deb` entries, so the
# set-up works behind whatever mirror or proxy the machine uses. The file is
# replaced whole (written beside it, then renamed), never left half-written.
src_list=$apt_dir/sources.list.d/drovelkit-src.sources
src_entry=$(bash "$here/source-entries.sh" "$apt_dir" "$(basename "$src_list")") || exit 1
if [ -z "$src_entry" ]; then
  say "no Debian 'deb' entry in $apt_dir to take the source packages' address from" >&2
  exit 1
fi
sources_changed=no
if [ "$(cat "$src_list" 2>/dev/null)" != "$src_entry" ]; then
  printf '%s\n' "$src_entry" | $SUDO tee "$src_list.new" >/dev/null && $SUDO mv -f "$src_list.new" "$src_list" || exit 1
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
  # running the program and its tests (32-bit Wine: below)
  wine wine64 xvfb xdotool x11-utils imagemagick fvwm
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
  # the tests' independent WIM reader (Drovelkit's split parts are checked
  # with it); Secure Boot rows: signed GRUB beside the signed shim
  wimtools grub-efi-amd64-signed
  # fuzz targets of the output parsers: clang with libFuzzer
  clang libclang-rt-14-dev
)

mapfile -t missing < <(missing_of "${packages[@]}")
if [ "${#missing[@]}" -gt 0 ] || [ "$sources_changed" = yes ] || \
   ! ls "$apt_lists"/*Sources* >/dev/null 2>&1; then
  update
fi
if [ "${#missing[@]}" -gt 0 ]; then
  install "${missing[@]}" || exit 1
fi

# 32-bit Wine, a step of its own: only where 32-bit programs start at all.
if runs_32bit_programs; then
  if ! installed wine32:i386; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $SUDO dpkg --add-architecture i386
    fi
    update
    if ! install wine32:i386; then
      say "32-bit Wine (wine32:i386) is not installed; the 64-bit build is tested alone"
      exit 0
    fi
  fi
else
  say "this kernel runs no 32-bit programs: i386 packages (wine32) left out; the 64-bit build is tested alone"
  exit 0
fi
say "all packages present"
