#!/usr/bin/env bash
# Cross-builds the core, the serial layer and their tests for 64-bit Windows
# with MinGW-w64 and runs them under Wine (CTest label "windows"), the serial
# tests against the virtual controller on a pseudo-terminal.
# Usage: scripts/windows-tests.sh [extra ctest arguments]
# TAVRIN_WIN_BUILD_DIR overrides the build directory (default: build-win).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVRIN_WIN_BUILD_DIR:-$root/build-win}

packages=(
  cmake ninja-build g++ libcli11-dev libgtest-dev libgmock-dev
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} > 0)); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "These packages are missing. Install them with:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # Another installer may hold the dpkg lock for a while.
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    if apt-get install -y -qq "${missing[@]}"; then break; fi
    if ((attempt == 10)); then echo "apt-get install failed" >&2; exit 1; fi
    sleep 15
  done
fi

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
