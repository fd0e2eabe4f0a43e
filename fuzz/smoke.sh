#!/usr/bin/env bash
# Smoke run of every fuzz target: each target first runs once over every file
# of its committed corpus, then fuzzes for a bounded time starting from it.
# New inputs go to a scratch directory, never into the committed corpus. Any
# finding (crash, property violation, sanitizer report, leak, timeout, an
# allocation above the limit) fails the script with a non-zero status.
#
# Usage: fuzz/smoke.sh <fuzz build directory> [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: fuzz/smoke.sh <fuzz build directory> [seconds per target]}
seconds=${2:-15}

targets=(byte_artifact subword_artifact decoder_state container session_restore model_artifact
  spec_description tokenizer bpe_training bpe_run_counts dialogue safetensors)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Inputs up to 64 KiB, and no single allocation of 4 MiB or more: nothing a
# target does with such an input legitimately needs more than a few hundred
# KiB, while the library's caps on stored counts (1048318 merges, 100000 table
# rows by default) would let an allocation sized from a count instead of the
# bytes present stay well below 64 MiB (about 40 MiB and 8 MiB).
options=(-malloc_limit_mb=4 -rss_limit_mb=2048 -max_len=65536 -timeout=10
  -dict=fuzz/lumeth.dict -print_final_stats=1)

for target in "${targets[@]}"; do
  binary="$build/fuzz/lumeth_fuzz_$target"
  corpus="fuzz/corpus/$target"
  log="$scratch/$target.log"
  mkdir -p "$scratch/$target"
  echo "fuzz smoke: $target"
  # Every committed input once, then fuzzing from the corpus.
  if ! "$binary" "${options[@]}" -runs=0 "$corpus" >"$log" 2>&1 ||
    ! "$binary" "${options[@]}" -max_total_time="$seconds" \
      -artifact_prefix="$scratch/$target/" "$scratch/$target" "$corpus" >>"$log" 2>&1; then
    cat "$log"
    echo "fuzz smoke: $target FAILED (reproducer in the log above)" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed 's/^/  /'
done
echo "fuzz: ${#targets[@]} passed, 0 failed"
