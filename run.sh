#!/usr/bin/env bash
# Installs what is missing, builds, starts a virtual controller on a COM link of
# its own, then starts the programmer. CONNECT finds the controller; the
# controller stops when the programmer exits.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): the programmer's window cannot open here." >&2
  exit 1
fi

scripts/deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

# The controller prints its port name on its first line of output; its notes
# and its summary when it stops go to the terminal.
coproc VC { exec build/bin/tavrin-virtual-controller --device 1; }
vc_pid=$VC_PID
stop_controller() {
  kill -TERM "$vc_pid" 2>/dev/null || true
  wait "$vc_pid" 2>/dev/null || true
}
trap stop_controller EXIT
# Ctrl+C or a hang-up ends the script through its exit, so the controller goes too.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

port=""
if ! read -r -t 10 port <&"${VC[0]}" || [[ -z $port ]]; then
  echo "run.sh: the virtual controller did not start (see its message above)." >&2
  exit 1
fi

echo
echo "Virtual controller: device 1 (Arvo K16-300), firmware 1, data map 1, on $port."
echo "Sample files to write into it: $root/build/samples/"
for f in build/samples/*; do
  [[ -e $f ]] && echo "  $(basename "$f")"
done
echo "Click CONNECT in the programmer; close its window to end both."
echo

# The programmer finds its sounds under voice/ in its working directory.
status=0
build/bin/tavrin-programmer || status=$?
exit "$status"
