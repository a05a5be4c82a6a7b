#!/usr/bin/env bash
# Builds every libFuzzer target of tests/fuzz (fuzz_*.cpp) with clang, address and undefined-behaviour
# sanitizers. The engine sources they share are compiled once into WORK/libengine.a (an object is compiled
# again only when its source or a header of the tree is newer), two at a time; each target is linked
# against it.
#   tests/fuzz/build.sh WORK_DIR
# FUZZ_CXX names the compiler (clang++ by default); ccache is used when it is installed.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/../.." && pwd)
WORK=${1:?usage: build.sh WORK_DIR}
mkdir -p "$WORK/obj" "$WORK/bin"
WORK=$(cd "$WORK" && pwd)
CXX=${FUZZ_CXX:-clang++}
LAUNCH=()
command -v ccache >/dev/null && LAUNCH=(ccache)
# what the targets read: tables and the local SQL, the table layer and the readers of the poll, the frame
# protocol, the configurator's frames, the template catalogue, the schemes with their pictures, and the
# simulator's byte layouts (the second decoder of the device replies)
ENGINE=(dbf/bulk.cpp dbf/codec.cpp dbf/crash_point.cpp dbf/cursor.cpp dbf/datetime.cpp dbf/files.cpp dbf/filter.cpp dbf/format.cpp
        dbf/index.cpp dbf/sql.cpp dbf/storage.cpp dbf/table.cpp
        devdata/catalogue.cpp devdata/layouts.cpp devdata/tables.cpp devdata/settings.cpp devdata/places.cpp devdata/error_texts.cpp
        devdata/reader_support.cpp devdata/state_reader.cpp devdata/archive_reader.cpp devdata/params_reader.cpp
        poll/clock.cpp poll/transport.cpp poll/protocol.cpp
        configurator/frames.cpp report/catalogue.cpp
        schemes/scheme.cpp schemes/notation.cpp schemes/render.cpp schemes/metafile.cpp
        sim/layouts.cpp sim/protocol.cpp)
QT_FLAGS=$(pkg-config --cflags Qt6Gui)
QT_LIBS=$(pkg-config --libs Qt6Gui)
# Qt is built position-independent and wants its users so; line tables are debug information enough for the
# stacks of a crash, and compile faster than full
FLAGS=(-std=c++20 -O1 -gline-tables-only -fPIC -fsanitize=address,undefined -fno-sanitize-recover=undefined -I"$SRC" $QT_FLAGS)
ENGINE_DIRS=(dbf devdata poll configurator report schemes sim)
newest_header=$(cd "$SRC" && find "${ENGINE_DIRS[@]}" -name '*.h' -newer "$WORK/libengine.a" -print -quit \
                2>/dev/null || true)
[ -f "$WORK/libengine.a" ] || newest_header=all
# other compiler flags than the last build's: everything again
FLAGS_NOW="$CXX ${FLAGS[*]}"
[ "$(cat "$WORK/flags" 2>/dev/null)" = "$FLAGS_NOW" ] || newest_header=all

compile() { # source
    local f=$1 o="$WORK/obj/$(echo "$1" | tr / _).o"
    if [ -n "$newest_header" ] || [ ! -f "$o" ] || [ "$SRC/$f" -nt "$o" ]; then
        "${LAUNCH[@]}" "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link -c "$SRC/$f" -o "$o"
    fi
}
export -f compile
export SRC WORK CXX newest_header
export LAUNCH_STR="${LAUNCH[*]}" FLAGS_STR="${FLAGS[*]}"
printf '%s\n' "${ENGINE[@]}" | xargs -P 2 -I{} bash -c '
    LAUNCH=($LAUNCH_STR); FLAGS=($FLAGS_STR); compile "$1"' _ {}
objs=()
for f in "${ENGINE[@]}"; do objs+=("$WORK/obj/$(echo "$f" | tr / _).o"); done
rebuild_lib=0
[ -f "$WORK/libengine.a" ] || rebuild_lib=1
for o in "${objs[@]}"; do [ "$o" -nt "$WORK/libengine.a" ] && rebuild_lib=1; done
if [ "$rebuild_lib" = 1 ]; then
    rm -f "$WORK/libengine.a"
    ar rcs "$WORK/libengine.a" "${objs[@]}"
fi

link() { # source binary [fuzzer|plain]
    local src=$1 bin=$2 kind=$3
    [ -x "$bin" ] && [ "$bin" -nt "$WORK/libengine.a" ] && [ "$bin" -nt "$src" ] && [ -z "$newest_header" ] &&
        [ "$bin" -nt "$SRC/tests/fuzz/fuzz_support.h" ] && return 0
    local san=-fsanitize=fuzzer
    [ "$kind" = plain ] && san=
    "${LAUNCH[@]}" "$CXX" "${FLAGS[@]}" $san -o "$bin" "$src" "$WORK/libengine.a" $QT_LIBS -ljpeg -lz -lnettle
}
pids=()
for t in "$SRC"/tests/fuzz/fuzz_*.cpp; do
    link "$t" "$WORK/bin/$(basename "$t" .cpp)" fuzzer &
    pids+=($!)
    if ((${#pids[@]} >= 2)); then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for p in "${pids[@]}"; do wait "$p"; done
link "$SRC/tests/fuzz/make_picture_seeds.cpp" "$WORK/bin/make_picture_seeds" plain
link "$SRC/tests/fuzz/make_fuzz_seeds.cpp" "$WORK/bin/make_fuzz_seeds" plain
echo "$FLAGS_NOW" >"$WORK/flags"
