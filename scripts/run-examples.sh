#!/usr/bin/env bash
# Installs what is missing, builds the libraries, the simulator and the examples
# (Release, into build/examples), and runs every example against the stand-ins:
# the simulated card driver and management controller (vdlsim-run), and emulated
# USB devices (sim/usb/vdlusb-emulate). Says first which warning and error lines are
# expected, prints each example's output under a heading, then a summary; exits
# with 1 when an example failed.
#
#   scripts/run-examples.sh [NAME...]   only the examples named (see examples/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --examples

dir=build/examples
jobs=${VDLSDK_JOBS:-$(nproc)}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVDLSDK_BUILD_TESTS=OFF -DVDLSDK_BUILD_BENCH=OFF -DVDLSDK_BUILD_EXAMPLES=ON \
  -DVDLSDK_BUILD_FUZZ=OFF >/dev/null
cmake --build "$dir" -j "$jobs"

# The examples' own set-up, whatever this shell has: the launcher makes a
# temporary option directory, and each example names its scenario.
unset VDLSIM_SCENARIO VDLSIM_CARDS VDLSIM_VERBOSE VDLSDK_CONFIG VDLSIM_FAULTS VDLSIM_KIT

wanted=("$@")
names=() titles=()
while IFS=$'\t' read -r name title; do
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then
    continue
  fi
  names+=("$name") titles+=("$title")
done <"$dir/examples/examples.list"
if [ ${#names[@]} -eq 0 ]; then
  echo "run-examples.sh: no example called ${wanted[*]}; see $dir/examples/examples.list" >&2
  exit 2
fi

rule=$(printf '=%.0s' {1..78})
echo "$rule"
echo "Lines the examples print on purpose here (they do not make an example fail):"
if ! id -nG | tr ' ' '\n' | grep -qx vandrel; then
  # The libraries' group checks: the user is not in the group vandrel (or it
  # does not exist), as on a machine set up without a card.
  echo "  [general] [warning] User is not in the vandrel group. Access to the config space ..."
  echo "      once in each example that uses the PCIe or USB library (its option file)"
  echo "  [vdlsdk_pci] [warning] User is not in vandrel group. Access to the PCI driver may not work."
  echo "      once more in each example that uses the PCIe library (the driver's nodes)"
fi
echo "  [general] [error] interrupt was canceled"
echo "      in dma_round_trip: the wait it cancels from another thread"
echo "$rule"
passed=() failed=()
for i in "${!names[@]}"; do
  name=${names[$i]}
  echo
  echo "$rule"
  echo "[$((i + 1))/${#names[@]}] $name: ${titles[$i]}"
  echo "    examples/$name.c, run by $dir/examples/run/$name"
  echo "$rule"
  status=0
  "$dir/examples/run/$name" || status=$?
  if [ $status -eq 0 ]; then
    echo "--> $name: passed"
    passed+=("$name")
  else
    echo "--> $name: FAILED (exit status $status)"
    failed+=("$name")
  fi
done

echo
echo "$rule"
echo "${#names[@]} example(s): ${#passed[@]} passed, ${#failed[@]} failed"
for name in "${passed[@]}"; do echo "  passed  $name"; done
for name in "${failed[@]}"; do echo "  FAILED  $name"; done
[ ${#failed[@]} -eq 0 ]
