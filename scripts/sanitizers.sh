#!/usr/bin/env bash
# Builds the tests under a sanitizer and runs them; any report fails the run.
#   address: AddressSanitizer + UndefinedBehaviorSanitizer, every test label,
#            in build-asan/
#   thread:  ThreadSanitizer, the tests of the labels unit, serial and e2e
#            whose code runs threads of its own (tests/CMakeLists.txt leaves
#            out the rest), in build-tsan/
# Usage: scripts/sanitizers.sh [address|thread ...]   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
supp=$root/tests/fuzz/suppressions

jobs=$(nproc)
kinds=("$@")
((${#kinds[@]})) || kinds=(address thread)

# halt_on_error stops at the first report; exitcode makes ctest see it even
# when a test would otherwise have passed. ThreadSanitizer's own pause of a
# second at every exit (atexit_sleep_ms) is cut short: every test process and
# every program the tests start paid it, over two minutes a run, and our
# programs join their threads before they end.
suppressions() {  # kind -> ":suppressions=FILE" when the project has one
  [[ -f $supp/$1.supp ]] && printf ':suppressions=%s' "$supp/$1.supp"
  return 0
}
export ASAN_OPTIONS="halt_on_error=1:exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1$(suppressions asan)"
export LSAN_OPTIONS="exitcode=86$(suppressions lsan)"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1$(suppressions ubsan)"
export TSAN_OPTIONS="halt_on_error=1:exitcode=86:second_deadlock_stack=1:atexit_sleep_ms=20$(suppressions tsan)"

configure() {  # dir sanitizer extra-args...
  local dir=$1 kind=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVRIN_SANITIZE="$kind" -DTAVRIN_BUILD_BENCH=OFF -DTAVRIN_BUILD_FUZZ=OFF "$@" >/dev/null
}

# build DIR LABEL...: builds only the tests of these labels and the programs
# they run, not the application, its manual pages or the completion.
build() {
  local dir=$1 labels
  shift
  labels=$(IFS='|'; echo "$*")
  local targets=()
  while IFS= read -r t; do targets+=("$t"); done < <(
    cmake --build "$dir" --target help |
      sed -En "s/^(($labels)_[A-Za-z0-9_]*|tavrin-cli|tavrin-image-tool|tavrin-virtual-controller|tavrin_samples): .*/\1/p")
  if ((${#targets[@]})); then
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
  fi
}

for kind in "${kinds[@]}"; do
  case $kind in
    address)
      echo "== AddressSanitizer + UndefinedBehaviorSanitizer (build-asan)"
      configure build-asan address
      build build-asan unit serial gui e2e
      (cd build-asan && ctest --output-on-failure -j "$jobs" -LE fuzz)
      ;;
    thread)
      echo "== ThreadSanitizer (build-tsan)"
      # The tests of these labels and the tools they run; the application and
      # the window tests are not built.
      configure build-tsan thread
      build build-tsan unit serial e2e
      (cd build-tsan && ctest --output-on-failure -j "$jobs" -L '^(unit|serial)$')
      # The end-to-end tests widen their time windows by the scale this build
      # sets (tests/support/Wait.h): their verdicts count here too.
      (cd build-tsan && ctest --output-on-failure -L '^e2e$')
      ;;
    *)
      echo "unknown sanitizer '$kind' (address or thread)" >&2
      exit 2
      ;;
  esac
done
