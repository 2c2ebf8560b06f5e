#!/usr/bin/env bash
# Regression run: each fuzzer executes every input of its corpus once (fuzz/corpus
# for the engine, fuzz/state_corpus for saved states, fuzz/corpus_batch for
# batches, fuzz/corpus_search for the tree search), with all its checks and sanitizers, and fails on the first broken
# invariant or report. Builds the fuzzers first (fuzz/build.sh, which installs
# clang when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for pair in engine_fuzzer:corpus state_fuzzer:state_corpus batch_fuzzer:corpus_batch search_fuzzer:corpus_search; do
  name=${pair%%:*} corpus=$root/fuzz/${pair#*:}
  fuzzer=$(FUZZER=$name "$root/fuzz/build.sh" | tail -n 1)
  # -runs=0: run the corpus once and stop. A failed check aborts, a sanitizer
  # report is fatal; either way libFuzzer exits non-zero.
  if ! "$fuzzer" -runs=0 "$corpus" >"$log" 2>&1; then
    cat "$log"
    echo "fuzz corpus of $name: FAILED"
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  echo "fuzz $name: $(find "$corpus" -type f | wc -l) passed, 0 failed"
done
