#!/usr/bin/env bash
# Builds the four libraries (Release) into build/release: no tests, benchmarks or
# examples. Installs the packages the libraries need when some are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --libs

jobs=${VDLSDK_JOBS:-$(nproc)}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVDLSDK_BUILD_TESTS=OFF -DVDLSDK_BUILD_BENCH=OFF -DVDLSDK_BUILD_EXAMPLES=OFF \
  -DVDLSDK_BUILD_FUZZ=OFF
cmake --build build/release -j "$jobs"
