#!/usr/bin/env bash
# Sets up, builds and starts Sentrel. Arguments are passed to the program; without any
# it runs on its default configuration (it watches localhost).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENTREL_TESTS=OFF >/dev/null
cmake --build build --target sentrel
exec build/bin/sentrel "$@"
