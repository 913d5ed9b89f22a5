#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each of them
# for a bounded time from a scratch copy of its seed corpus. Inputs that crash
# or trip a sanitizer are left in build-fuzz/fuzz-artifacts/<target>/.
# Usage: scripts/fuzz.sh [--time SECONDS] [TARGET ...]
#   e.g. scripts/fuzz.sh --time 600          all targets, ten minutes each
#        scripts/fuzz.sh --time 60 frames    one target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
names=()
while (($#)); do
  case $1 in
    --time) seconds=$2; shift 2 ;;
    --time=*) seconds=${1#--time=}; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) names+=("$1"); shift ;;
  esac
done

jobs=$(nproc)
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTAVRIN_BUILD_FUZZ=ON -DTAVRIN_BUILD_GUI=OFF -DTAVRIN_BUILD_TESTS=OFF \
  -DTAVRIN_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_all

filter='^fuzz\.'
if ((${#names[@]})); then
  filter="^fuzz\\.($(IFS='|'; echo "${names[*]}"))\$"
fi
# The fuzzer keeps to its own time limit; the ctest limit is only a backstop.
export TAVRIN_FUZZ_SECONDS=$seconds
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1"
cd build-fuzz
ctest --output-on-failure -j "$jobs" -L fuzz -R "$filter" --timeout $((seconds + 300)) --no-tests=error
