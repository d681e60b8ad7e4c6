#!/usr/bin/env bash
# Builds the Debian package sentrel_2.2_<arch>.deb from a build folder (default: build,
# the plain build of the test command; configured and built here when missing) and prints
# its path on the last line.
#   scripts/build-deb.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
# The build packages, with dpkg-dev (dpkg-shlibdeps) and file for CPack.
scripts/setup.sh
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENTREL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target sentrel sentrel_dist_files
rm -rf "$build"/package
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/sentrel_*.deb)
echo "$deb"
