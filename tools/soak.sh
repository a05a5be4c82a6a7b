#!/usr/bin/env bash
# The two-program soak for as long as asked: mervoctl polls two simulated calculators over and over while
# another process reads the tables, deletes archive rows through the local SQL and edits MAINDB.
#   tools/soak.sh SECONDS [BUILD_DIR]     (BUILD_DIR: build/ by default, as ./test.sh makes it)
# The counts (polls, rows read, deletes, edits) and every fault found are printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 SECONDS [BUILD_DIR]" >&2
    exit 2
fi
BUILD_DIR=${2:-build}
BIN="$BUILD_DIR/tests/test_soak"
if [ ! -x "$BIN" ]; then
    echo "$BIN is missing: build it first (cmake --build $BUILD_DIR --target test_soak)" >&2
    exit 1
fi
MERVO_SOAK_SECONDS="$1" exec "$BIN" --gtest_filter='Soak.*'
