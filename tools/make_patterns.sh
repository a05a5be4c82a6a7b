#!/usr/bin/env bash
# Writes the report templates delivered with Zorbel (dist/Patterns: Patterns.ini and the .pat workbooks)
# through LibreOffice: builds tools/zorbel-patterns in build/ when needed and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
[ -f "$BUILD_DIR/build.ninja" ] || cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" --target zorbel-patterns
mkdir -p dist/Patterns
"$BUILD_DIR/tools/zorbel-patterns" dist/Patterns
ls -l dist/Patterns
