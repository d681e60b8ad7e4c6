#!/usr/bin/env bash
# Sets up, builds and runs every test: once plainly, once under clang's AddressSanitizer
# and UndefinedBehaviorSanitizer; the fuzz smoke run; then the Debian package is built
# from the plain build and checked. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
jobs=$(nproc)

echo "== plain build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENTREL_WERROR=ON -DSENTREL_TESTS=ON >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest -j "$jobs" --output-on-failure --timeout 600)
scripts/check-tray.sh build
# The editing dialogs end to end in the real program on a virtual X display.
SENTREL_BIN=$PWD/build/bin/sentrel tools/editing-e2e.sh
# The main window comes up before the first pass, and answers while it waits.
SENTREL_BIN=$PWD/build/bin/sentrel tools/startup-window.sh
# Under a window manager: a small screen keeps the title bar on it, a popup leaves the
# keyboard where the operator types.
SENTREL_BIN=$PWD/build/bin/sentrel tools/window-manager-check.sh
# Through the accessibility bus: a change of colour and the popup are heard, the status
# panels read as their texts.
SENTREL_BIN=$PWD/build/bin/sentrel tools/screen-reader-view.sh --check >/dev/null
# An event's popup reaches the desktop's notification service, whose "Show" raises the window.
SENTREL_BIN=$PWD/build/bin/sentrel tools/notifications-e2e.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build (clang)"
# clang's sanitizers catch what gcc's missed; Qt and GoogleTest, built with gcc, link in.
# A folder configured with another compiler is made anew.
grep -qs 'CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' build-asan/CMakeCache.txt || rm -rf build-asan
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DSENTREL_SANITIZE=ON -DSENTREL_WERROR=ON -DSENTREL_TESTS=ON >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest -j "$jobs" --output-on-failure --timeout 900)

# Fuzz targets, when present, run a short fixed number of inputs each.
if [[ -x scripts/fuzz.sh ]]; then
  echo "== fuzz smoke run"
  scripts/fuzz.sh --smoke
fi
echo "== Debian package"
scripts/check-package.sh build
echo "== all tests passed"
