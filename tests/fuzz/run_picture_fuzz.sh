#!/usr/bin/env bash
# Builds the picture decoders' libFuzzer target with clang (address and undefined-behaviour sanitizers) and
# runs it for the given number of seconds, seeded with small pictures of every kind and the pictures of the
# delivered schemes.
#   tests/fuzz/run_picture_fuzz.sh [SECONDS] [WORK_DIR]
# Longer runs: tests/fuzz/run_picture_fuzz.sh 3600 /tmp/picture-fuzz (the corpus in WORK_DIR/corpus is kept
# and grows from run to run; a crash leaves its input in WORK_DIR as crash-*, which belongs in
# tests/fuzz/pictures/ once it is mended).
set -euo pipefail
SECONDS_TO_RUN=${1:-10}
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${2:-$(mktemp -d)}
mkdir -p "$WORK/corpus" "$WORK/seeds" "$WORK/obj"
CXX=${FUZZ_CXX:-clang++}
BIN="$WORK/fuzz_picture_decoder"
SEEDER="$WORK/make_picture_seeds"
SOURCES=(schemes/render.cpp schemes/metafile.cpp schemes/scheme.cpp schemes/notation.cpp devdata/settings.cpp
         dbf/codec.cpp dbf/datetime.cpp dbf/files.cpp)
QT_FLAGS=$(pkg-config --cflags Qt6Gui)
QT_LIBS=$(pkg-config --libs Qt6Gui)
SAN=(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
stale=0
[ -x "$BIN" ] && [ -x "$SEEDER" ] || stale=1
for f in "${SOURCES[@]}" tests/fuzz/fuzz_picture_decoder.cpp tests/fuzz/make_picture_seeds.cpp \
         tests/fuzz/run_picture_fuzz.sh tests/picture_samples.h schemes/render.h schemes/scheme.h \
         schemes/metafile.h schemes/notation.h; do
    [ "$SRC/$f" -nt "$BIN" ] && stale=1
done
if [ "$stale" = 1 ]; then
    objs=()
    for f in "${SOURCES[@]}"; do
        o="$WORK/obj/$(echo "$f" | tr / _).o"
        # Qt is built position-independent and wants its users so
        "$CXX" -std=c++20 -O1 -g -fPIC -fsanitize=fuzzer-no-link "${SAN[@]}" -I"$SRC" $QT_FLAGS \
            -c "$SRC/$f" -o "$o"
        objs+=("$o")
    done
    "$CXX" -std=c++20 -O1 -g -fPIC -fsanitize=fuzzer "${SAN[@]}" -I"$SRC" $QT_FLAGS -o "$BIN" \
        "$SRC/tests/fuzz/fuzz_picture_decoder.cpp" "${objs[@]}" $QT_LIBS -ljpeg -lz
    "$CXX" -std=c++20 -O1 -g -fPIC "${SAN[@]}" -I"$SRC" $QT_FLAGS -o "$SEEDER" \
        "$SRC/tests/fuzz/make_picture_seeds.cpp" "${objs[@]}" $QT_LIBS -ljpeg -lz
fi
"$SEEDER" "$WORK/seeds" $(find "$SRC/dist/Circuits" -iname '*.MNS')
cd "$WORK"
"$BIN" -max_total_time="$SECONDS_TO_RUN" -max_len=65536 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    corpus seeds
