#!/bin/sh
# Checks the vdlsim-run launcher: what it sets for the program, the exit status
# passed through, the temporary option directory removed, scenario lookup.
# Usage: vdlsim_run_test.sh VDLSIM_RUN PRELOAD_PROGRAM
set -u
run=$1
program=$2
failures=0
check() { # description, then the command that must succeed
    what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

unset VDLSDK_CONFIG VDLSIM_SCENARIO VDLSIM_CARDS
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The program sees the model, a fresh option directory and the script package.
"$run" sh -c 'echo "$LD_PRELOAD|$PYTHONPATH|$VDLSDK_CONFIG"; test -d "$VDLSDK_CONFIG"' \
    >"$scratch/env" 2>&1
check "a program runs with an option directory of its own" test $? -eq 0
IFS='|' read -r preload pythonpath config <"$scratch/env"
check "libvdlsim comes first in LD_PRELOAD" test "${preload%%:*}" != "" -a -f "${preload%%:*}"
check "the script package is on PYTHONPATH" test -f "${pythonpath%%:*}/vdl_bmc/__init__.py"
check "the temporary option directory is gone afterwards" test ! -e "$config"

LD_PRELOAD=libfoo.so PYTHONPATH=/nowhere "$run" sh -c 'echo "$LD_PRELOAD|$PYTHONPATH"' \
    >"$scratch/env2"
IFS='|' read -r preload pythonpath <"$scratch/env2"
check "the caller's LD_PRELOAD is kept behind the model" test "${preload#*:}" = libfoo.so
check "the caller's PYTHONPATH is kept behind the package" test "${pythonpath#*:}" = /nowhere

VDLSDK_CONFIG=$scratch/mine "$run" sh -c 'echo "$VDLSDK_CONFIG"' >"$scratch/cfg"
check "a VDLSDK_CONFIG that is set is used" test "$(cat "$scratch/cfg")" = "$scratch/mine"

"$run" sh -c 'exit 42'
check "the exit status is passed through" test $? -eq 42
"$run" sh -c 'kill -TERM $$'
check "a program killed by a signal gives 128 + the signal" test $? -eq 143

check "the default card is simulated" "$run" "$program"
"$run" --cards 0 "$program" absent >/dev/null
check "--cards sets the number of cards" test $? -eq 0

printf 'cards 1\ncard 0 absent\n' >"$scratch/absent.scenario"
"$run" --scenario "$scratch/absent.scenario" "$program" absent >/dev/null
check "--scenario FILE is applied" test $? -eq 0
"$run" -s default sh -c 'test -f "$VDLSIM_SCENARIO"'
check "a shipped scenario is found by name" test $? -eq 0
"$run" -l | grep -qx default
check "--list-scenarios names the shipped scenarios" test $? -eq 0
"$run" -s no-such-scenario true 2>/dev/null
check "an unknown scenario is refused" test $? -eq 125
"$run" 2>/dev/null >/dev/null
check "no program is a usage error" test $? -eq 125

[ $failures -eq 0 ]
