#!/usr/bin/env bash
# Runs one fuzz target of tests/fuzz for the given number of seconds (built by build.sh into WORK_DIR first,
# unless FUZZ_NO_BUILD=1 says that is done). The target starts from its seeds in tests/fuzz/seeds/NAME (and,
# for the schemes and the pictures, the delivered schemes) and from the corpus WORK_DIR/corpus-NAME, which is
# kept and grows from run to run. A crash or a failed property leaves its input in WORK_DIR/NAME as crash-*;
# once mended it belongs in the seeds and in a test of the suite.
#   tests/fuzz/run_target.sh NAME [SECONDS] [WORK_DIR]
#   NAME: dbf_table dbf_sql device_reply ini_files reply_judge scheme_reader picture_decoder
set -euo pipefail
NAME=${1:?usage: run_target.sh NAME [SECONDS] [WORK_DIR]}
SECONDS_TO_RUN=${2:-10}
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${3:-$SRC/build/fuzz}
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
[ "${FUZZ_NO_BUILD:-0}" = 1 ] || "$SRC/tests/fuzz/build.sh" "$WORK"
BIN="$WORK/bin/fuzz_$NAME"
[ -x "$BIN" ] || { echo "no fuzz target $NAME" >&2; exit 2; }
mkdir -p "$WORK/corpus-$NAME" "$WORK/$NAME"
SEEDS=()
[ -d "$SRC/tests/fuzz/seeds/$NAME" ] && SEEDS+=("$SRC/tests/fuzz/seeds/$NAME")
case "$NAME" in
scheme_reader)
    mkdir -p "$WORK/seeds-$NAME"
    find "$SRC/dist/Circuits" -iname '*.MNS' -exec cp {} "$WORK/seeds-$NAME/" \;
    SEEDS+=("$WORK/seeds-$NAME") ;;
picture_decoder)
    mkdir -p "$WORK/seeds-$NAME"
    "$WORK/bin/make_picture_seeds" "$WORK/seeds-$NAME" $(find "$SRC/dist/Circuits" -iname '*.MNS')
    SEEDS+=("$WORK/seeds-$NAME") ;;
esac
# the targets' scratch tables: in memory where the machine has /dev/shm, removed however the run ends
MERVO_FUZZ_SCRATCH=$(mktemp -d /dev/shm/mervo-fuzz-run-XXXXXX 2>/dev/null || mktemp -d)
export MERVO_FUZZ_SCRATCH
trap 'rm -rf "$MERVO_FUZZ_SCRATCH"' EXIT
cd "$WORK/$NAME"
"$BIN" -max_total_time="$SECONDS_TO_RUN" -max_len=65536 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$WORK/corpus-$NAME" "${SEEDS[@]}"
