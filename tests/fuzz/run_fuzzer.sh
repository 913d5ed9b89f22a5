#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time, from a scratch copy of its
# seed corpus so the committed corpus never grows. A crash, a sanitizer report,
# a leak or a slow input fails the run and leaves the input in ARTIFACTS.
# Usage: run_fuzzer.sh FUZZER SEEDS ARTIFACTS [DICT]
# The time is TAVRIN_FUZZ_SECONDS (default 30).
set -euo pipefail
fuzzer=$1 seeds=$2 artifacts=$3 dict=${4:-}
seconds=${TAVRIN_FUZZ_SECONDS:-30}

# The scratch corpus lives beside the artifacts, in the build tree.
mkdir -p "$artifacts"
work=$(mktemp -d "$artifacts/../corpus-XXXXXX")
trap 'rm -rf "$work"' EXIT
if [[ -d $seeds ]]; then
  cp -R "$seeds"/. "$work"/
fi
mkdir -p "$artifacts"

args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096
      -error_exitcode=77 -timeout_exitcode=78 -print_final_stats=1
      -artifact_prefix="$artifacts"/)
[[ -n $dict ]] && args+=(-dict="$dict")

"$fuzzer" "${args[@]}" "$work"
