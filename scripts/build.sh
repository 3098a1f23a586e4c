#!/usr/bin/env bash
# Builds everything into build/: the native logic and its tests (build/native)
# and both Windows builds, each a program with its payload and test tools:
# build/win32 (drovelkit.exe, 32-bit) and build/win64 (drovelkit64.exe).
# The two Windows builds run side by side; they share the firmware build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${DROVELKIT_JOBS:-2}

cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"

# Configuring builds the static libraries; building, 7-Zip and the firmware.
windows_build() {
  local name=$1 toolchain=$2
  cmake -S . -B "build/$name" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" \
        -DDROVELKIT_NATIVE_BUILD_DIR="$PWD/build/native" \
        -DDROVELKIT_BOOT_CMDLINE_TOOL="$PWD/build/native/tests/unit/emulator_cmdline" \
        -DDROVELKIT_OVMF_IA32_WORK="$PWD/build/win32/payload/work/edk2" >/dev/null
  nice -n 5 cmake --build "build/$name" -j "$jobs"
}

pids=()
for variant in "win32 toolchain-mingw-i686.cmake" "win64 toolchain-mingw-x86_64.cmake"; do
  read -r name toolchain <<< "$variant"
  ( set -o pipefail; windows_build "$name" "$toolchain" 2>&1 | sed -u "s/^/[$name] /" ) &
  pids+=("$!")
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
