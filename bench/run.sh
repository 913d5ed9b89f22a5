#!/usr/bin/env bash
# Builds the benchmarks (build-bench/, optimised, no sanitizer) and prints the
# programmer's figures as a table. Arguments go to tavrin-bench: part names
# (crc load transfer line cli gang trace net idle memory) and --quick; `bench/run.sh trace`
# compares paced writes through tavrin-cli with and without --trace; `bench/run.sh net`
# the same paced write direct and through ser2net (RFC 2217 and raw TCP).
# Takes about three minutes on two cores once built.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTAVRIN_BUILD_BENCH=ON -DTAVRIN_BUILD_GUI=ON -DTAVRIN_BUILD_TOOLS=ON -DTAVRIN_BUILD_TESTS=ON \
  >/dev/null
cmake --build build-bench -j "$(nproc)" --target tavrin-bench tavrin-virtual-controller tavrin-cli

echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
  "$(uname -sr), $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d" " -f1-3 /proc/loadavg)"
build-bench/bin/tavrin-bench "$@"
