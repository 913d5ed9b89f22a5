#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the normal build
# in build/, then the same tests under AddressSanitizer + UBSan and the
# threaded ones under ThreadSanitizer, then a short run of every fuzz target,
# and last the Windows tests when their script is present. Every stage runs
# even when an earlier one failed (except after a failed normal build); the
# exit status is non-zero when any stage failed. The end-to-end tests under
# ThreadSanitizer mostly wait on the controllers' clocks: they run beside the
# fuzzing and Windows stages, whose compiling and fuzzing yield to them (nice).
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

# stage_beside NAME COMMAND...: like stage, but runs beside the stages that
# follow; its output is printed, and its result noted, by finish_beside.
beside=() beside_names=() beside_logs=() beside_starts=()
stage_beside() {
  local name=$1 log
  shift
  log=$(mktemp "${TMPDIR:-/tmp}/tavrin-stage.XXXXXX")
  echo
  echo "=== $name: runs beside the next stages, its output follows at the end"
  # Its own process group, so that an interrupted run can end all of it.
  setsid bash -c '"$@" >"$0" 2>&1; rc=$?; date +%s >"$0.end"; exit $rc' "$log" "$@" &
  beside+=($!) beside_names+=("$name") beside_logs+=("$log") beside_starts+=("$(date +%s)")
}
finish_beside() {
  local i result
  for i in "${!beside[@]}"; do
    result=passed
    if ! wait "${beside[i]}"; then
      result=FAILED
      failed=1
    fi
    echo
    echo "=== ${beside_names[i]}"
    cat "${beside_logs[i]}"
    summary+=("$(printf '%-40s %-7s %5d s' "${beside_names[i]}" "$result" \
      $(($(cat "${beside_logs[i]}.end" 2>/dev/null || date +%s) - beside_starts[i])))")
    rm -f "${beside_logs[i]}" "${beside_logs[i]}.end"
  done
  beside=()
}
# An interrupted run leaves no stage running behind it.
trap 'for p in "${beside[@]}"; do kill -TERM -- "-$p" 2>/dev/null; done' EXIT

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
  stage "ThreadSanitizer (build-tsan/)" env TAVRIN_TSAN_E2E=later scripts/sanitizers.sh thread
  stage_beside "ThreadSanitizer e2e (build-tsan/)" scripts/sanitizers.sh thread-e2e
  stage "fuzzing, ${TAVRIN_FUZZ_SECONDS:-30} s a target (build-fuzz/)" \
    nice -n 10 scripts/fuzz.sh --time "${TAVRIN_FUZZ_SECONDS:-30}"
  if [[ -x scripts/windows-tests.sh ]]; then
    stage "Windows tests" env TAVRIN_NICE_BUILDS=1 scripts/windows-tests.sh
  fi
  finish_beside
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
printf 'total %d min %d s: %s\n' $((SECONDS / 60)) $((SECONDS % 60)) \
  "$( ((failed)) && echo FAILED || echo all passed)"
exit "$failed"
