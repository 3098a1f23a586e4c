#!/usr/bin/env bash
# Smoke check of the payload's firmware images: each must start in
# qemu-system-x86_64 (default machine, as the emulator tests use it) and reach
# its first words. Not a boot test: there is no disk.
#
#   payload/build/check-firmware.sh FIRMWARE_DIR WORKDIR
#
# SeaBIOS prints nothing on the serial port, only on the debug console at
# port 0x402; OVMF prints "BdsDxe: ..." on the serial port once it looks for a
# boot device. EFI images run under TCG: on this kind of machine's nested KVM
# OVMF dies at start-up.
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 FIRMWARE_DIR WORKDIR" >&2
  exit 2
fi
fw=$1 work=$2
mkdir -p "$work"
limit=${DROVELKIT_FIRMWARE_TIMEOUT:-60}

passed=0 failed=0

# Runs QEMU with firmware $2 until $4 appears in the log of channel $3
# (serial or debugcon), or the time limit passes.
check() {
  local name=$1 image=$2 channel=$3 expect=$4 log="$work/$1.log" pid t0 found=0
  rm -f "$log"
  local channel_args=(-serial none)
  if [ "$channel" = debugcon ]; then
    channel_args=(-serial none -chardev "file,id=dbg,path=$log"
                  -device isa-debugcon,iobase=0x402,chardev=dbg)
  else
    channel_args=(-serial "file:$log")
  fi
  if [ ! -f "$image" ]; then
    echo "FAIL $name: $image is missing"
    failed=$((failed + 1))
    return
  fi
  t0=$(date +%s)
  qemu-system-x86_64 -accel tcg -m 256 -bios "$image" \
    -display none -nodefaults -no-reboot -snapshot "${channel_args[@]}" \
    > "$work/$name.qemu.log" 2>&1 &
  pid=$!
  while [ $(( $(date +%s) - t0 )) -lt "$limit" ]; do
    if [ -f "$log" ] && grep -aq "$expect" "$log"; then
      found=1
      break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.5
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  if [ "$found" = 1 ]; then
    echo "ok   $name: \"$expect\" after $(( $(date +%s) - t0 )) s"
    passed=$((passed + 1))
  else
    echo "FAIL $name: no \"$expect\" within $limit s; log $log, QEMU said:"
    sed 's/^/     /' "$work/$name.qemu.log"
    failed=$((failed + 1))
  fi
}

check bios  "$fw/bios.bin"  debugcon "SeaBIOS (version"
check efi64 "$fw/efi64.bin" serial   "BdsDxe"
check efi32 "$fw/efi32.bin" serial   "BdsDxe"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
