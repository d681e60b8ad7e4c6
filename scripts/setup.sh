#!/usr/bin/env bash
# Installs the Debian packages Sentrel needs. With "--tests" also those the test suite
# uses (real servers, a browser, the sanitizer and fuzzer runtimes). Only missing
# packages are installed; the package lists are refreshed first when something is missing.
set -euo pipefail

build_packages=(cmake ninja-build g++ make pkg-config ccache
  qt6-base-dev qt6-base-dev-tools libgl-dev dpkg-dev file python3-markdown libssl-dev
  zlib1g-dev)
# Names are looked up with c-ares on the program's own loop.
build_packages+=(libc-ares-dev)
# The request-time chart draws with QCustomPlot.
build_packages+=(libqcustomplot-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  iproute2 curl python3 procps)
# Packages named by the test suites of later parts are appended here.
test_packages+=(${SENTREL_EXTRA_TEST_PACKAGES:-})

wanted=("${build_packages[@]}")
if [[ "${1:-}" == "--tests" ]]; then
  wanted+=("${test_packages[@]}")
  [[ -f "$(dirname "$0")/test-packages.txt" ]] && mapfile -t -O "${#wanted[@]}" wanted < <(grep -v '^#' "$(dirname "$0")/test-packages.txt" | tr -s ' \n' '\n' | grep .)
fi

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # Servers the tests start themselves (nginx, Prometheus, ...) must not start as the
  # system's services on installation: invoke-rc.d asks policy-rc.d, and 101 says no.
  policy=/usr/sbin/policy-rc.d
  own_policy=
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
    trap 'rm -f "$policy"' EXIT
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [[ -n $own_policy ]]; then
    rm -f "$policy"
    trap - EXIT
  fi
fi
