#!/usr/bin/env bash
# Shows the suite on its demo data directory: builds what is needed, fills demo-data/ with objects of every
# device family and a few data tables, and prints them with mervoctl.
set -euo pipefail
cd "$(dirname "$0")"

BUILD_DIR=${BUILD_DIR:-build}
DATA=demo-data

if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja
fi
cmake --build "$BUILD_DIR" --target mervoctl

CTL="$BUILD_DIR/tools/mervoctl"

# a fresh data directory every time
rm -rf "$DATA"
"$CTL" init "$DATA"

add() {
    local num
    num=$("$CTL" add "$DATA" "$@")
    echo "  object $num: ${2#ADDRES=}"
}

echo "Objects:"
add DEVTYPE=128 "ADDRES=ул. Ленина, 5 (водомерный узел)" SERIALNUM=112 NETTYPE=0 COMPORT=ttyUSB0 \
    "DESKRIPTION=Жилой фонд" SCHTYPE=1
add DEVTYPE=231 "ADDRES=Насосная станция, пр. Мира, 12" SERIALNUM=2048 NETTYPE=1 COMPORT=ttyS1 \
    PHONE=89161234567 "DESKRIPTION=Водоканал"
add "DEVTYPE=Vexa-1 К1(2)(М) тип 225" "ADDRES=ЦТП-2, ул. Гагарина, 17" SERIALNUM=311 NETTYPE=2 \
    NETADR=127.0.0.1 IPPORT=5001 "DESKRIPTION=ЦТП"
add DEVTYPE=229 "ADDRES=Школа №3, ул. Советская, 40" SERIALNUM=1207 NETTYPE=0 COMPORT=ttyUSB1 \
    "DESKRIPTION=Школы" SCHTYPE=2
add DEVTYPE=230 "ADDRES=Детский сад №7, ул. Садовая, 3" SERIALNUM=1315 "NETTYPE=Ethernet TCP" \
    NETADR=127.0.0.1 IPPORT=4002 "DESKRIPTION=Школы"
add DEVTYPE=234 "ADDRES=Городская больница, корпус 2" SERIALNUM=4410 NETTYPE=1 COMPORT=ttyS0 \
    PHONE=89031112233 "DESKRIPTION=Медицина"
add DEVTYPE=236 "ADDRES=Котельная №1, ул. Заводская, 1" SERIALNUM=530 NETTYPE=3 NETADR=127.0.0.1 \
    IPPORT=4001 "DESKRIPTION=Котельные" SCHTYPE=1
add DEVTYPE=237 "ADDRES=Баня, ул. Речная, 9" SERIALNUM=0 NETTYPE=0 COMPORT=ttyUSB2 \
    "DESKRIPTION=Котельные" AUTOCON=нет
add DEVTYPE=238 "ADDRES=Администрация, пл. Победы, 1" SERIALNUM=77 NETTYPE=2 NETADR=localhost \
    IPPORT=5001 "DESKRIPTION=Администрация"

echo
echo "Data tables:"
"$CTL" create "$DATA" state 236
"$CTL" create "$DATA" state 231
"$CTL" create "$DATA" params
"$CTL" create "$DATA" archive 530 D 236
"$CTL" create "$DATA" archive 530 H 236
"$CTL" create "$DATA" archive 311 D 225

echo
echo "mervoctl list $DATA"
"$CTL" list "$DATA"

echo
echo "mervoctl dump $DATA/MAINDB.dbf"
"$CTL" dump "$DATA/MAINDB.dbf"

echo
echo "Files in $DATA:"
ls -1 "$DATA"
