#!/usr/bin/env bash
# Installs what the build needs (Debian packages), builds everything and runs every test.
#   ./test.sh              release build with debug info in build/
#   ./test.sh --sanitize   address + undefined-behaviour sanitizer build in build-asan/
#   ./test.sh --install    only installs the missing packages (./demo.sh uses it)
set -euo pipefail
cd "$(dirname "$0")"

SANITIZE=OFF
BUILD_DIR=build
INSTALL_ONLY=0
for arg in "$@"; do
    case "$arg" in
    --sanitize) SANITIZE=ON; BUILD_DIR=build-asan ;;
    --install) INSTALL_ONLY=1 ;;
    *) echo "usage: $0 [--sanitize | --install]" >&2; exit 2 ;;
    esac
done

PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev nlohmann-json3-dev qt6-base-dev qt6-qpa-plugins fonts-dejavu-core libjpeg62-turbo-dev clang libclang-rt-14-dev qt6-charts-dev libqt6opengl6-dev qt6-pdf-dev qt6-translations-l10n libreoffice-calc-nogui libreoffice-dev poppler-utils nettle-dev)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ "$INSTALL_ONLY" = 1 ] && exit 0

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVO_SANITIZE="$SANITIZE"
cmake --build "$BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)"
