#!/usr/bin/env bash
# Installs what the build needs (Debian packages), builds everything and runs every test.
#   ./test.sh              release build with debug info in build/
#   ./test.sh --sanitize   address + undefined-behaviour sanitizer build in build-asan/
#   ./test.sh --install    only installs the missing packages (./demo.sh uses it)
#   ./test.sh --package    after the tests, builds the Debian package and tests it (tools/package_test.sh)
set -euo pipefail
cd "$(dirname "$0")"

SANITIZE=OFF
BUILD_DIR=build
INSTALL_ONLY=0
PACKAGE=0
for arg in "$@"; do
    case "$arg" in
    --sanitize) SANITIZE=ON; BUILD_DIR=build-asan ;;
    --install) INSTALL_ONLY=1 ;;
    --package) PACKAGE=1 ;;
    *) echo "usage: $0 [--sanitize | --install | --package]" >&2; exit 2 ;;
    esac
done
if [ "$PACKAGE" = 1 ] && [ "$SANITIZE" = ON ]; then
    echo "$0: --package goes with the release build, not --sanitize" >&2
    exit 2
fi

PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev nlohmann-json3-dev qt6-base-dev qt6-qpa-plugins fonts-dejavu-core libjpeg62-turbo-dev clang libclang-rt-14-dev qt6-charts-dev libqt6opengl6-dev qt6-pdf-dev qt6-translations-l10n libreoffice-calc-nogui libreoffice-dev poppler-utils nettle-dev)
# the package and its test: dpkg-shlibdeps, lintian, file, the desktop entry's and AppStream data's validators,
# systemd-analyze for the service unit
if [ "$PACKAGE" = 1 ]; then
    PACKAGES+=(dpkg-dev lintian file desktop-file-utils appstream libxml2-utils systemd)
fi
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
if [ "$PACKAGE" = 1 ]; then
    tools/package_test.sh "$BUILD_DIR"
fi
