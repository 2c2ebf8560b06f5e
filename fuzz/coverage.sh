#!/usr/bin/env bash
# Line and branch coverage of the engine headers reached by fuzz/corpus (or the
# directories given), from a build with clang's source-based coverage.
#   fuzz/coverage.sh [CORPUS_DIR...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$("$root/fuzz/build.sh" --coverage | tail -n 1)
out=$(dirname "$bin")/coverage
rm -rf "$out"
mkdir -p "$out"
tool() { for t in "$1" "$1-14" "$1-15" "$1-16"; do command -v "$t" >/dev/null && { echo "$t"; return; }; done; }
profdata=$(tool llvm-profdata)
cov=$(tool llvm-cov)
[ $# -gt 0 ] || set -- "$root/fuzz/corpus"
LLVM_PROFILE_FILE="$out/run.profraw" "$bin" -runs=0 "$@" >"$out/run.log" 2>&1
"$profdata" merge -sparse "$out/run.profraw" -o "$out/run.profdata"
headers=("$root"/src/bitboard.h "$root"/src/board.h "$root"/src/game.h "$root"/src/encode.h \
  "$root"/src/hash.h "$root"/src/limits.h "$root"/src/player.h "$root"/src/outcome.h)
"$cov" report "$bin" -instr-profile="$out/run.profdata" "${headers[@]}"
echo "line by line: $cov show $bin -instr-profile=$out/run.profdata ${headers[*]}"
