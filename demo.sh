#!/usr/bin/env bash
# Shows the suite at work on its demo: builds what is needed, starts the calculator simulator with a set of
# devices of every type (UDP, TCP, a direct serial line and a modem line on pseudo-terminals), fills
# demo-data/DATA with those objects in two groups, runs one poll over them and prints what it stored; then
# starts the main program on them.
#   ./demo.sh              the main program with a display (offscreen for 40 s without one)
#   ./demo.sh --pictures   the main program offscreen on a 1280x800 screen until it has made two pictures,
#                          the main window after its poll and the object window of calculator 530 with the
#                          polled values; both are copied into docs/pictures/
set -euo pipefail
cd "$(dirname "$0")"

PICTURES=0
for arg in "$@"; do
    case "$arg" in
    --pictures) PICTURES=1 ;;
    *) echo "usage: $0 [--pictures]" >&2; exit 2 ;;
    esac
done

BUILD_DIR=${BUILD_DIR:-build}
DEMO=demo-data
DATA=$DEMO/DATA

./test.sh --install
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja
fi
# the programs and the files delivered beside them (schemes, templates, help, wallpaper)
cmake --build "$BUILD_DIR" --target mervoctl calcsim Mervo Zorbel Tolvan dist_files

CTL="$BUILD_DIR/tools/mervoctl"
SIM="$BUILD_DIR/sim/calcsim"

rm -rf "$DEMO"
mkdir -p "$DEMO"

# Port names must fit the 10 characters of COMPORT.
LINE=/tmp/mdl$$
MODEM=/tmp/mdm$$
LINE=${LINE:0:10}
MODEM=${MODEM:0:10}

cat > "$DEMO/devices.json" <<EOF
{
  "endpoints": [
    {"udp": 0, "type": 128, "serial": 112},
    {"tcp": 0, "type": 225, "serial": 311},
    {"pty": "$LINE", "type": 229, "serial": 1207, "filled": {"hourly": 192, "daily": 35}},
    {"udp": 0, "type": 230, "serial": 1315},
    {"tcp": 0, "type": 231, "serial": 2048},
    {"pty": "$MODEM", "type": 234, "serial": 4410, "modem": {"csq": 17, "dial": "connect", "guard_ms": 1000}},
    {"udp": 0, "type": 235, "serial": 4520},
    {"tcp": 0, "type": 236, "serial": 530, "filled": {"hourly": 192, "daily": 35, "monthly": 6}},
    {"udp": 0, "type": 237, "serial": 5200},
    {"tcp": 0, "type": 238, "serial": 77}
  ]
}
EOF

"$SIM" --config "$DEMO/devices.json" --log "$DEMO/calcsim.log" > "$DEMO/ready.txt" &
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ "$(grep -c '^READY' "$DEMO/ready.txt" || true)" -ge 10 ] && break
    sleep 0.1
done
mapfile -t READY < <(grep '^READY' "$DEMO/ready.txt")
port() { echo "${READY[$1]##*:}"; }

"$CTL" init "$DATA" > /dev/null
add() { "$CTL" add "$DATA" "$@" > /dev/null; }
add DEVTYPE=128 SCHTYPE=1 SERIALNUM=112 "ADDRES=ул. Ленина, 5 (водомерный узел)" NETTYPE=2 NETADR=127.0.0.1 IPPORT="$(port 0)" "DESKRIPTION=Жилой фонд"
add DEVTYPE=225 SCHTYPE=1 SERIALNUM=311 "ADDRES=ЦТП-2, ул. Гагарина, 17" NETTYPE=3 NETADR=127.0.0.1 IPPORT="$(port 1)" "DESKRIPTION=Жилой фонд"
add DEVTYPE=229 SCHTYPE=1 SERIALNUM=0 "ADDRES=Школа №3, ул. Советская, 40" NETTYPE=0 COMPORT="$LINE" "DESKRIPTION=Школы"
add DEVTYPE=230 SCHTYPE=1 SERIALNUM=1315 "ADDRES=Детский сад №7, ул. Садовая, 3" NETTYPE=2 NETADR=127.0.0.1 IPPORT="$(port 3)" "DESKRIPTION=Школы"
add DEVTYPE=231 SCHTYPE=1 SERIALNUM=2048 "ADDRES=Насосная станция, пр. Мира, 12" NETTYPE=3 NETADR=localhost IPPORT="$(port 4)" "DESKRIPTION=Жилой фонд"
add DEVTYPE=234 SCHTYPE=1 SERIALNUM=4410 "ADDRES=Городская больница, корпус 2" NETTYPE=1 COMPORT="$MODEM" PHONE=89031112233 "DESKRIPTION=Школы"
add DEVTYPE=235 SCHTYPE=1 SERIALNUM=4520 "ADDRES=Бассейн, ул. Спортивная, 2" NETTYPE=2 NETADR=127.0.0.1 IPPORT="$(port 6)" "DESKRIPTION=Жилой фонд"
NUM530=$("$CTL" add "$DATA" DEVTYPE=236 SCHTYPE=1 SERIALNUM=530 "ADDRES=Котельная №1, ул. Заводская, 1" NETTYPE=3 NETADR=127.0.0.1 IPPORT="$(port 7)" "DESKRIPTION=Жилой фонд")
add DEVTYPE=237 SCHTYPE=1 SERIALNUM=5200 "ADDRES=Баня, ул. Речная, 9" NETTYPE=2 NETADR=127.0.0.1 IPPORT="$(port 8)" "DESKRIPTION=Школы"
add DEVTYPE=238 SCHTYPE=1 SERIALNUM=77 "ADDRES=Администрация, пл. Победы, 1" NETTYPE=3 NETADR=127.0.0.1 IPPORT="$(port 9)" "DESKRIPTION=Жилой фонд"

# The demo's own settings: pseudo-terminals have no modem lines, so the families on them do without the
# DTR check (bit 128); the clock is set on every poll (bit 8).
export MERVO_REGISTRY="$PWD/$DEMO/registry.ini"
cat > "$MERVO_REGISTRY" <<EOF
[PAR]
DPath=$PWD/$DATA
Par1_228=143
Par1_234=159
Par1_225=31
Par1_128=1
Repeat=3
EOF

echo "== Poll run"
"$CTL" poll "$DATA"
echo
echo "== Objects"
"$CTL" list "$DATA"
echo
echo "== Current state of the type-236 calculators (STATEDB236)"
"$CTL" dump "$DATA/STATEDB236.dbf"
echo
echo "== Daily archive of calculator 530 (ARCHDB530D236), first rows"
"$CTL" dump "$DATA/ARCHDB530D236.dbf" > "$DEMO/ARCHDB530D236.csv"
head -5 "$DEMO/ARCHDB530D236.csv" | cut -c1-160
echo
echo "Data directory: $DATA (MAINDB.dbf and the tables the poll wrote); simulator log: $DEMO/calcsim.log"

# The main program on the demo: auto-poll on at start, every minute, the first poll due at once. For the
# pictures every hour: a poll that ends in the minute after its start is not followed by another at once.
PERIOD=4
[ "$PICTURES" = 1 ] && PERIOD=3
cat >> "$MERVO_REGISTRY" <<EOF
Par2=32
Period=$PERIOD
PeriodX=1
DTConn=0000000000000000
EOF
SHOT="$PWD/$DEMO/mervo.png"
echo
if [ "$PICTURES" = 1 ]; then
    SCHEME_SHOT="$PWD/$DEMO/scheme_530.png"
    echo "== Mervo on the demo offscreen (1280x800) until it has made its pictures"
    cat > "$DEMO/screen.json" <<EOF
{"screens": [{"name": "demo", "x": 0, "y": 0, "width": 1280, "height": 800,
              "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]}
EOF
    # a runtime folder of its own: a copy of Mervo running elsewhere does not stop this one
    mkdir -m 700 "$DEMO/run"
    START=$SECONDS
    XDG_RUNTIME_DIR="$PWD/$DEMO/run" QT_QPA_PLATFORM="offscreen:configfile=$PWD/$DEMO/screen.json" \
        MERVO_SCREENSHOT="$SHOT" MERVO_SCREENSHOT_SCHEME="$NUM530:$SCHEME_SHOT" \
        timeout 120 "$BUILD_DIR/bin/Mervo" &
    MERVO_PID=$!
    # the object window is pictured 1.5 s after the main window, both after the first poll
    for _ in $(seq 1100); do
        [ -s "$SCHEME_SHOT" ] && [ -s "$SHOT" ] && break
        kill -0 $MERVO_PID 2>/dev/null || break
        sleep 0.1
    done
    sleep 0.5
    kill $MERVO_PID 2>/dev/null || true
    wait $MERVO_PID 2>/dev/null || true
    if [ ! -s "$SHOT" ] || [ ! -s "$SCHEME_SHOT" ]; then
        echo "Mervo made no pictures (see $DEMO/)" >&2
        exit 1
    fi
    mkdir -p docs/pictures
    cp "$SHOT" docs/pictures/demo_main_window.png
    cp "$SCHEME_SHOT" docs/pictures/demo_scheme_530.png
    echo "Pictures in $((SECONDS - START)) s: docs/pictures/demo_main_window.png, docs/pictures/demo_scheme_530.png"
elif [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "== Mervo on the demo (close it with Выход; a picture after every poll: $SHOT)"
    MERVO_SCREENSHOT="$SHOT" "$BUILD_DIR/bin/Mervo"
else
    echo "== Mervo on the demo without a display (offscreen, 40 s)"
    MERVO_SCREENSHOT="$SHOT" QT_QPA_PLATFORM=offscreen timeout 40 "$BUILD_DIR/bin/Mervo" || true
    echo "Screenshot of the main window after its poll: $SHOT"
fi
