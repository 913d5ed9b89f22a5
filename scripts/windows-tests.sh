#!/usr/bin/env bash
# Cross-builds the core, the serial layer and their tests for 64-bit Windows
# with MinGW-w64 and runs them under Wine (CTest label "windows"), the serial
# tests against the virtual controller on a pseudo-terminal.
# Usage: scripts/windows-tests.sh [extra ctest arguments]
# TAVRIN_WIN_BUILD_DIR overrides the build directory (default: build-win).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVRIN_WIN_BUILD_DIR:-$root/build-win}

# One list for the whole run, this stage's MinGW and Wine packages included.
"$root/scripts/deps.sh"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DTAVRIN_BUILD_GUI=OFF -DTAVRIN_BUILD_TOOLS=OFF
cmake --build "$build"

# One persistent wineserver for the whole run (the prefix is made first when
# missing); stopped again however the run ends.
"$build/wine-run.sh" --start-server
trap '"$build/wine-run.sh" --stop-server' EXIT

cd "$build"
ctest -L windows -j2 --output-on-failure "$@"
