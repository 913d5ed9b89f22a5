#!/usr/bin/env bash
# The one list of Debian packages that ./test.sh and ./run.sh need, the
# Windows stage included. Installs what is missing when run as root; otherwise
# prints one `sudo apt-get install ...` line naming all of it and stops.
# Usage: scripts/deps.sh [extra package ...]
# TAVRIN_APT_LOCK_WAIT: how long to wait for the package manager's lock, in
# seconds (default 600).
set -euo pipefail

packages=(
  # the build
  cmake ninja-build g++ pkg-config ccache file python3
  # the window
  qt6-base-dev qt6-multimedia-dev libgl1-mesa-dev fonts-dejavu-core
  # tests, tools, benchmarks, fuzzing
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev librapidcheck-dev
  # the command line: its event loop and JSON (header-only)
  libasio-dev nlohmann-json3-dev
  # ports on another machine: the tests serve the virtual controller through it
  ser2net
  clang libclang-rt-14-dev xvfb xauth
  # the Debian package
  dpkg-dev desktop-file-utils lintian appstream
  # the manual pages' check
  groff-base man-db
  # the Windows stage: MinGW-w64 build, tried under Wine
  mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
  # the Windows release: the installer
  nsis
  "$@"
)
# Not needed: espeak-ng, which only speaks the committed voice/*.wav anew.

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "These packages are missing. Install them with:"
  echo "  sudo apt-get install ${missing[*]}"
  exit 1
fi

# Another install or an automatic update may hold the package manager's lock
# for a while: wait for it, up to a limit, instead of failing at once.
limit=${TAVRIN_APT_LOCK_WAIT:-600}
deadline=$((SECONDS + limit))
# Passes its input on to standard error and to standard output alike.
echo_kept() {
  local line
  while IFS= read -r line; do
    printf '%s\n' "$line" >&2
    printf '%s\n' "$line"
  done
}
apt_get() {
  local out left
  while :; do
    left=$((deadline - SECONDS))
    ((left < 1)) && left=1
    # Shown as it comes, and kept to tell a held lock from other failures.
    if out=$(apt-get -o "DPkg::Lock::Timeout=$left" "$@" 2>&1 | echo_kept); then
      return 0
    fi
    if ! grep -qi "lock" <<<"$out" || ((SECONDS >= deadline)); then
      echo "scripts/deps.sh: apt-get $1 failed (the lock is waited for up to $limit s)." >&2
      return 1
    fi
    echo "Waiting for the package manager's lock (another install or an automatic update holds it)..."
    sleep 5
  done
}

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt_get update -qq || exit 1
apt_get install -y -qq "${missing[@]}" || exit 1
