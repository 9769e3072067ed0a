#!/usr/bin/env bash
# Fuzzes one target for a given time: libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, built with clang in build/fuzz.
#
#   scripts/fuzz.sh TARGET SECONDS [LIBFUZZER-OPTION...]
#
# TARGET is a fuzz target of fuzz/ without its suffix: options or text. Its seed
# corpus fuzz/corpus/TARGET/ is only read; the inputs found on the way live in a
# temporary directory that is removed at the end (FUZZ_KEEP=DIR copies them to
# DIR first, to add the interesting ones to the seeds). Failing inputs are kept
# in build/fuzz/artifacts/TARGET/. Options after SECONDS go to libFuzzer, for
# example -fork=2 or -max_len=16384. Needs clang and its fuzzing runtime:
# scripts/install-deps.sh --fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [LIBFUZZER-OPTION...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
if [ ! -d "fuzz/corpus/$target" ]; then
  echo "no fuzz target '$target' (a directory of fuzz/corpus/)" >&2
  exit 2
fi
if ! command -v clang++ >/dev/null; then
  echo "clang is missing: run scripts/install-deps.sh --fuzz" >&2
  exit 1
fi

build=$root/build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVDLSDK_SANITIZE=ON -DVDLSDK_FUZZ_ENGINE=libfuzzer \
  -DVDLSDK_BUILD_TESTS=OFF -DVDLSDK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target "${target}_fuzz" -j "${FUZZ_BUILD_JOBS:-2}"

# The targets write an option file per input: a memory file system when there is one.
base=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/vdlsdk-fuzz-$target.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/tmp" "$build/artifacts/$target"

# libFuzzer's own C++ runtime is linked ahead of the shared sanitizer runtime,
# which has to come first.
runtime=$(clang++ -print-file-name="libclang_rt.asan-$(uname -m).so")

# libFuzzer writes its worker logs into the current directory.
cd "$work"
status=0
TMPDIR=$work/tmp LD_PRELOAD=$runtime "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/$target/" "$@" \
  "$work/corpus" "$root/fuzz/corpus/$target" || status=$?
cd "$root"
# Worker logs of -jobs, kept with the failing inputs.
for log in "$work"/fuzz-*.log; do
  [ -e "$log" ] && cp "$log" "$build/artifacts/$target/"
done

if [ -n "${FUZZ_KEEP:-}" ]; then
  mkdir -p "$FUZZ_KEEP"
  cp -rp "$work/corpus/." "$FUZZ_KEEP/"
fi
echo "fuzz $target: $(ls "$work/corpus" | wc -l) new inputs; failing inputs in $build/artifacts/$target/"
exit "$status"
