#!/usr/bin/env bash
# Cross-builds the core, the serial layer, the Win32 window
# (tavrin-programmer.exe) and their tests for 64-bit Windows with MinGW-w64,
# makes the Windows release (installer, zip, SHA256SUMS) and runs the tests
# under Wine (CTest label "windows"), the serial and window tests
# against the virtual controller on a pseudo-terminal, the window in Xvfb.
# Usage: scripts/windows-tests.sh [extra ctest arguments]
# TAVRIN_WIN_BUILD_DIR overrides the build directory (default: build-win).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVRIN_WIN_BUILD_DIR:-$root/build-win}

# One list for the whole run, this stage's MinGW and Wine packages included.
"$root/scripts/deps.sh"

# Wine draws windows only on an X display: the whole run goes into a private
# Xvfb (never onto the user's desktop), started before the wineserver so that
# Wine's desktop process has it too.
if [[ -z ${TAVRIN_IN_XVFB:-} ]] && command -v xvfb-run >/dev/null; then
  export TAVRIN_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "${BASH_SOURCE[0]}" "$@"
fi

# The virtual controller the tests talk to runs on this machine: the main
# build's (build/, as ./test.sh made it, brought up to date by the test
# build) when there is one, otherwise one built for this stage alone.
host_tools=""
if [[ -f $root/build/CMakeCache.txt ]] && grep -q '^TAVRIN_BUILD_TOOLS:BOOL=ON' "$root/build/CMakeCache.txt"; then
  host_tools=$root/build
fi

# GUI ON builds the Win32 window, tavrin-programmer.exe (no Qt).
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DTAVRIN_BUILD_GUI=ON -DTAVRIN_BUILD_TOOLS=OFF -DTAVRIN_HOST_TOOLS_DIR="$host_tools"
cmake --build "$build"
# The Windows release: the installer, the zip and SHA256SUMS in build-win/;
# the zip unpacked for the test that starts the program from it.
cmake --build "$build" --target package
rm -rf "$build/unzipped"
mkdir -p "$build/unzipped"
(cd "$build/unzipped" && cmake -E tar xf "$build"/tavrin-programmer-*-win64.zip)
if ! file "$build"/tavrin-programmer-*-win64-setup.exe | grep -q 'PE32+'; then
  echo "windows-tests.sh: the installer is not a 64-bit program" >&2
  exit 1
fi
# SHA256SUMS holds the two packages of this release, each line verified.
if ! (cd "$build" && sha256sum -c --strict --quiet SHA256SUMS) ||
  [[ $(wc -l <"$build/SHA256SUMS") != 2 ]]; then
  echo "windows-tests.sh: SHA256SUMS does not match the release" >&2
  exit 1
fi

# One persistent wineserver for the whole run (the prefix is made first when
# missing); stopped again however the run ends.
"$build/wine-run.sh" --start-server
trap '"$build/wine-run.sh" --stop-server' EXIT

# No window manager runs in Xvfb: Wine draws the frames and captions itself
# (so that the screenshot shows them) and waits for no manager's answer when
# a window goes away (otherwise two seconds each time).
for value in Decorated Managed; do
  "$build/wine-run.sh" reg add 'HKCU\Software\Wine\X11 Driver' /v "$value" /d N /f >/dev/null 2>&1 ||
    echo "windows-tests.sh: could not set $value in the Wine prefix" >&2
done

cd "$build"
ctest -L windows -j2 --output-on-failure "$@"
