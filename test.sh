#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the normal build
# in build/, then the same tests under AddressSanitizer + UBSan and the
# threaded ones under ThreadSanitizer, then a short run of every fuzz target,
# and last the Windows tests when their script is present. Every stage runs
# even when an earlier one failed (except after a failed normal build); the
# exit status is non-zero when any stage failed.
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
  stage "ThreadSanitizer (build-tsan/)" scripts/sanitizers.sh thread
  stage "fuzzing, ${TAVRIN_FUZZ_SECONDS:-30} s a target (build-fuzz/)" \
    scripts/fuzz.sh --time "${TAVRIN_FUZZ_SECONDS:-30}"
  if [[ -x scripts/windows-tests.sh ]]; then
    stage "Windows tests" scripts/windows-tests.sh
  fi
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
printf 'total %d min %d s: %s\n' $((SECONDS / 60)) $((SECONDS % 60)) \
  "$( ((failed)) && echo FAILED || echo all passed)"
exit "$failed"
