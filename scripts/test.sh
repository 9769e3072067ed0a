#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test through ctest
# (the examples included, each run against the stand-ins with its output checked):
# first a normal build, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --tests

jobs=${VDLSDK_JOBS:-$(nproc)}
run_suite() {
  local dir=$1; shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja \
    -DVDLSDK_BUILD_TESTS=ON -DVDLSDK_BUILD_EXAMPLES=ON -DVDLSDK_BUILD_FUZZ=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

run_suite build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVDLSDK_BUILD_BENCH=ON
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVDLSDK_SANITIZE=ON -DVDLSDK_BUILD_BENCH=OFF
