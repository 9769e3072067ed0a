#!/usr/bin/env bash
# Installs the Debian 12 packages a build needs; packages already present are left
# alone, so it is safe to run again (and quick when nothing is missing).
#
#   scripts/install-deps.sh [--libs]   what building the four libraries needs
#   scripts/install-deps.sh --examples the libraries, the simulator and the examples,
#                                      and what running the examples needs
#   scripts/install-deps.sh --tests    all of that, and what the tests and benchmarks need
#   scripts/install-deps.sh --fuzz     all of that, and clang with libFuzzer and its sanitizer
#                                      runtimes (scripts/fuzz.sh only; CI does not need it)
#   scripts/install-deps.sh --list SET prints the packages of a set and installs nothing
#
# As root it runs apt-get directly; otherwise through sudo. It prints one line
# for the set it installs; apt-get's and dpkg's output is shown only when the
# installation fails.
set -euo pipefail

libs=(
  build-essential cmake ninja-build pkg-config
  libspdlog-dev libfmt-dev nlohmann-json3-dev
  libusb-1.0-0-dev
  python3 python3-dev
)
# vdlusb-emulate (built on libumockdev, run with umockdev's preload library)
# emulates the USB devices of the USB example.
examples=("${libs[@]}" umockdev libumockdev-dev)
tests=(
  "${examples[@]}"
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-venv
  pciutils
)
fuzz=("${tests[@]}" clang libclang-rt-14-dev)

usage() {
  sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0" >&2
  exit 2
}

list_only=0
set_name=libs
while [ $# -gt 0 ]; do
  case $1 in
    --libs) set_name=libs ;;
    --examples) set_name=examples ;;
    --tests) set_name=tests ;;
    --fuzz) set_name=fuzz ;;
    --list)
      list_only=1
      case ${2:-} in
        libs|examples|tests|fuzz) set_name=$2; shift ;;
      esac
      ;;
    -h|--help) usage ;;
    *) echo "install-deps.sh: unknown option $1" >&2; usage ;;
  esac
  shift
done
declare -n packages=$set_name

if [ $list_only -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: not root and no sudo; as root, run:" >&2
    echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "install-deps.sh: installing ${#missing[@]} package(s) of the $set_name set: ${missing[*]}"
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
status=0
{
  "${as_root[@]}" apt-get update -qq &&
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}"
} >"$log" 2>&1 </dev/null || status=$?
if [ $status -ne 0 ]; then
  cat "$log" >&2
  echo "install-deps.sh: installing the $set_name set failed (apt-get exit status $status)" >&2
  exit "$status"
fi
