#!/usr/bin/env bash
# Builds the scheme reader's libFuzzer target with clang (address and undefined-behaviour sanitizers) and runs
# it for the given number of seconds, seeded with the delivered schemes.
#   tests/fuzz/run_scheme_fuzz.sh [SECONDS] [WORK_DIR]
# Longer runs: tests/fuzz/run_scheme_fuzz.sh 3600 /tmp/scheme-fuzz (the corpus in WORK_DIR/corpus is kept and
# grows from run to run; a crash leaves its input in WORK_DIR as crash-*).
set -euo pipefail
SECONDS_TO_RUN=${1:-20}
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${2:-$(mktemp -d)}
mkdir -p "$WORK/corpus" "$WORK/seeds"
CXX=${FUZZ_CXX:-clang++}
BIN="$WORK/fuzz_scheme_reader"
if [ ! -x "$BIN" ] || [ "$SRC/schemes/scheme.cpp" -nt "$BIN" ] || [ "$SRC/schemes/notation.cpp" -nt "$BIN" ]; then
    "$CXX" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -I"$SRC" -o "$BIN" \
        "$SRC/tests/fuzz/fuzz_scheme_reader.cpp" "$SRC/schemes/scheme.cpp" "$SRC/schemes/notation.cpp" \
        "$SRC/devdata/settings.cpp" "$SRC/dbf/codec.cpp" "$SRC/dbf/datetime.cpp" "$SRC/dbf/files.cpp" -lz
fi
find "$SRC/dist/Circuits" -iname '*.MNS' -exec cp {} "$WORK/seeds/" \;
cd "$WORK"
"$BIN" -max_total_time="$SECONDS_TO_RUN" -max_len=65536 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    corpus seeds
