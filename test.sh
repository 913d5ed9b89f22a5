#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the normal build
# in build/, then the same tests under AddressSanitizer + UBSan and the
# threaded ones under ThreadSanitizer, then a short run of every fuzz target,
# and last the Windows tests when their script is present. Every stage runs
# even when an earlier one failed (except after a failed normal build); the
# exit status is non-zero when any stage failed. The ThreadSanitizer tests run
# in the background, beside the stages after them.
set -uo pipefail
cd "$(dirname "$0")"
# The compiler cache keys on paths relative to the checkout, so a fresh clone
# elsewhere (as CI makes) reuses what earlier builds compiled.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

scripts/deps.sh || exit 1

jobs=$(nproc)
summary=()
failed=0

# stage NAME COMMAND...: runs the command, notes the result and the time taken.
stage() {
  local name=$1 start=$SECONDS result=passed
  shift
  echo
  echo "=== $name"
  if ! "$@"; then
    result=FAILED
    failed=1
  fi
  summary+=("$(printf '%-40s %-7s %5d s' "$name" "$result" $((SECONDS - start)))")
  [[ $result == passed ]]
}

# stage_beside NAME COMMAND...: like stage, but in the background, beside the
# stages that follow; the stages so run take their turns in one lane, in the
# order given. Their output is printed, and their results noted, by
# finish_beside.
lane=$(mktemp "${TMPDIR:-/tmp}/tavrin-lane.XXXXXX")
beside=() beside_names=() beside_logs=()
stage_beside() {
  local name=$1 log
  shift
  log=$(mktemp "${TMPDIR:-/tmp}/tavrin-stage.XXXXXX")
  echo
  echo "=== $name: runs beside the next stages, its output follows at the end"
  # Its own process group, so that an interrupted run can end all of it.
  setsid flock "$lane" bash -c \
    'date +%s >"$0.start"; "$@" >"$0" 2>&1; rc=$?; date +%s >"$0.end"; exit $rc' "$log" "$@" &
  beside+=($!) beside_names+=("$name") beside_logs+=("$log")
}
finish_beside() {
  local i result log
  for i in "${!beside[@]}"; do
    result=passed
    if ! wait "${beside[i]}"; then
      result=FAILED
      failed=1
    fi
    log=${beside_logs[i]}
    echo
    echo "=== ${beside_names[i]}"
    cat "$log"
    summary+=("$(printf '%-40s %-7s %5d s' "${beside_names[i]}" "$result" \
      $(($(cat "$log.end" 2>/dev/null || date +%s) - $(cat "$log.start" 2>/dev/null || date +%s))))")
    rm -f "$log" "$log.start" "$log.end"
  done
  beside=()
}
# An interrupted run leaves no stage running behind it.
trap 'for p in "${beside[@]}"; do kill -TERM -- "-$p" 2>/dev/null; done; rm -f "$lane"' EXIT

normal_build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build -j "$jobs"
}
normal_tests() {
  (cd build && ctest --output-on-failure -j "$jobs")
}

if stage "build (build/)" normal_build; then
  stage "tests (build/)" normal_tests
  stage "AddressSanitizer + UBSan (build-asan/)" scripts/sanitizers.sh address
  # The ThreadSanitizer tests run beside the fuzzing and the Windows stage,
  # whose compiling and fuzzing yield to them (nice): most of their time is
  # waiting on the controllers' clocks, and their time windows are widened.
  export TAVRIN_NICE_BUILDS=1
  if stage "ThreadSanitizer, build (build-tsan/)" \
    env TAVRIN_SANITIZER_STEPS=build scripts/sanitizers.sh thread; then
    stage_beside "ThreadSanitizer, tests (build-tsan/)" \
      env TAVRIN_SANITIZER_STEPS=test scripts/sanitizers.sh thread
  fi
  stage "fuzzing, ${TAVRIN_FUZZ_SECONDS:-30} s a target (build-fuzz/)" \
    nice -n 10 scripts/fuzz.sh --time "${TAVRIN_FUZZ_SECONDS:-30}"
  if [[ -x scripts/windows-tests.sh ]]; then
    stage "Windows tests" scripts/windows-tests.sh
  fi
  finish_beside
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
printf 'total %d min %d s: %s\n' $((SECONDS / 60)) $((SECONDS % 60)) \
  "$( ((failed)) && echo FAILED || echo all passed)"
exit "$failed"
