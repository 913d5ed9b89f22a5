#!/usr/bin/env bash
# Installs what is missing, builds, starts a virtual controller on a COM link of
# its own, then starts the programmer. CONNECT finds the controller; the
# controller stops when the programmer exits. Without a desktop, the command
# line programmer shows the same job in the terminal instead.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD

desktop=1
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  desktop=0
fi

scripts/deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
if ((desktop)); then
  cmake --build build -j "$(nproc)"
else
  cmake --build build -j "$(nproc)" --target tavrin-cli tavrin-virtual-controller tavrin_samples
fi

# The controller prints its port name on its first line of output; its notes
# and its summary when it stops go to the terminal.
coproc VC { exec build/bin/tavrin-virtual-controller --device 1 --data-version 2; }
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
echo "Virtual controller: device 1 (Arvo K16-300), firmware 1, data map 2, on $port."
echo "Sample files to write into it: $root/build/samples/"
for f in build/samples/*; do
  [[ -e $f ]] && echo "  $(basename "$f")"
done

if ((!desktop)); then
  # No display for the window: the same job through the command line.
  step() {
    echo
    echo "\$ $*"
    local status=0
    "$@" || status=$?
    if ((status)); then
      echo "run.sh: that step failed (exit status $status)." >&2
      exit "$status"
    fi
  }
  echo
  echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set), so here is the main job on the command line."
  step build/bin/tavrin-cli ports
  step build/bin/tavrin-cli identify
  step build/bin/tavrin-cli write build/samples/device1-firmware-v12.sbin --verify
  echo
  echo "All done: the controller now reports firmware 12. More: build/bin/tavrin-cli --help."
  echo "Where there is a desktop, ./run.sh starts the programmer's window instead (build/bin/tavrin-programmer)."
  exit 0
fi

echo "Click CONNECT in the programmer; close its window to end both."
echo

# The programmer finds its sounds under voice/ in its working directory.
status=0
build/bin/tavrin-programmer || status=$?
exit "$status"
