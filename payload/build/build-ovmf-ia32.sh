#!/usr/bin/env bash
# Builds a 32-bit OVMF without SMM and Secure Boot from Debian's edk2 source
# package. Debian's own ovmf-ia32 needs SMM, so under a plain -bios it prints
# nothing and never boots.
#
#   payload/build/build-ovmf-ia32.sh WORKDIR
#
# Leaves WORKDIR/out/OVMF-IA32.fd (2 MiB). A stamp keyed on this script makes
# a repeated run instant.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 WORKDIR" >&2
  exit 2
fi
mkdir -p "$1"
work=$(cd "$1" && pwd)
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$work/out"
jobs=${DROVELKIT_JOBS:-2}
# Run from a build rule, the parent make's flags and jobserver would leak in.
unset MAKEFLAGS MFLAGS MAKELEVEL

stamp="$work/ovmf-ia32.stamp"
key="$(sha256sum "$here/build-ovmf-ia32.sh" | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] && [ -f "$out/OVMF-IA32.fd" ]; then
  exit 0
fi
rm -f "$stamp"

src_parent="$work/src"
rm -rf "$src_parent"
mkdir -p "$src_parent" "$out"
start=$(date +%s)
# Running as root, apt would warn that it cannot drop to the _apt user.
(cd "$src_parent" && apt-get source -q -o APT::Sandbox::User=root edk2 > "$work/fetch.log" 2>&1) || {
  tail -n 20 "$work/fetch.log" >&2
  exit 1
}
src=$(find "$src_parent" -maxdepth 1 -type d -name 'edk2-*' | head -n1)
[ -n "$src" ] || { echo "apt-get source edk2 left no edk2-* folder" >&2; exit 1; }
echo "edk2 source fetched in $(( $(date +%s) - start )) s"

cd "$src"
unset WORKSPACE EDK_TOOLS_PATH CONF_PATH PACKAGES_PATH
export PYTHON_COMMAND=python3

t0=$(date +%s)
nice -n 10 make -C BaseTools -j "$jobs" > "$work/basetools.log" 2>&1 || {
  tail -n 40 "$work/basetools.log" >&2
  echo "edk2 BaseTools failed; log: $work/basetools.log" >&2
  exit 1
}
echo "edk2 BaseTools built in $(( $(date +%s) - t0 )) s"

t0=$(date +%s)
# edksetup.sh reads unset variables, and takes this script's arguments as its
# own unless they are cleared.
set +u
set --
# shellcheck disable=SC1091
. ./edksetup.sh > "$work/edksetup.log" 2>&1
set -u
nice -n 10 build -a IA32 -t GCC5 -b RELEASE -p OvmfPkg/OvmfPkgIa32.dsc -n "$jobs" \
  -DSECURE_BOOT_ENABLE=FALSE -DSMM_REQUIRE=FALSE -DBUILD_SHELL=FALSE -DFD_SIZE_2MB \
  > "$work/ovmf.log" 2>&1 || {
  tail -n 40 "$work/ovmf.log" >&2
  echo "OVMF IA32 build failed; log: $work/ovmf.log" >&2
  exit 1
}
echo "OVMF IA32 built in $(( $(date +%s) - t0 )) s"

install -m 644 "$src/Build/OvmfIa32/RELEASE_GCC5/FV/OVMF.fd" "$out/OVMF-IA32.fd"
# The tree is about 1 GiB once built; only the image is kept.
rm -rf "$src_parent"
echo "edk2 total $(( $(date +%s) - start )) s"

echo "$key" > "$stamp"
