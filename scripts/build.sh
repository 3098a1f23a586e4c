#!/usr/bin/env bash
# Builds everything into build/: the native logic and its tests (build/native)
# and the Windows program with its payload and test tools (build/win32).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${DROVELKIT_JOBS:-2}

cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
      -DDROVELKIT_NATIVE_BUILD_DIR="$PWD/build/native" \
      -DDROVELKIT_BOOT_CMDLINE_TOOL="$PWD/build/native/tests/unit/emulator_cmdline" >/dev/null
cmake --build build/win32 -j "$jobs"
