#!/usr/bin/env bash
# Builds every fuzz target once and runs each in turn for the given number of seconds; prints a line per
# target with its executions per second and executions in all, and ends with status 1 when any target found
# a crash or a failed property (its input is left in WORK_DIR/NAME/crash-*).
#   tests/fuzz/run_all.sh [SECONDS] [WORK_DIR]      e.g. tests/fuzz/run_all.sh 600 /tmp/mervo-fuzz
set -uo pipefail
SECONDS_TO_RUN=${1:-60}
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${2:-$SRC/build/fuzz}
TARGETS=(dbf_table dbf_sql device_reply ini_files reply_judge scheme_reader picture_decoder)
"$SRC/tests/fuzz/build.sh" "$WORK" || exit 2
failed=0
summary=()
for t in "${TARGETS[@]}"; do
    log="$WORK/$t.log"
    if FUZZ_NO_BUILD=1 "$SRC/tests/fuzz/run_target.sh" "$t" "$SECONDS_TO_RUN" "$WORK" >"$log" 2>&1; then
        result=ok
    else
        result="FAILED (see $log)"
        failed=1
    fi
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    rate=$(grep -o 'exec/s: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || echo "?")
    summary+=("$(printf '%-16s %10s exec/s %12s runs  %s' "$t" "$rate" "$execs" "$result")")
done
printf '%s\n' "${summary[@]}"
exit "$failed"
