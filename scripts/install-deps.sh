#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the benchmarks need
# (with --fuzz, also what fuzzing needs).
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libspdlog-dev libfmt-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  python3 python3-dev python3-venv
  pciutils
)
# Optional, for scripts/fuzz.sh only (CI does not need it): clang, libFuzzer and
# clang's sanitizer runtimes.
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
