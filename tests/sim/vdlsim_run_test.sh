#!/bin/sh
# Checks the vdlsim-run launcher: what it sets for the program, the exit status
# passed through, signals passed on, the temporary option directory removed
# (also when its standard error is a pipe nobody reads), scenario lookup, the
# card counts it refuses, --help and wrong calls.
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
# The launcher's own temporary directories go here, to be checked.
mkdir "$scratch/tmp"
leftovers() { test -z "$(ls -A "$scratch/tmp")"; }

# Waits up to 10 s for a file to be written.
await() {
    i=0
    while [ ! -s "$1" ] && [ $i -lt 200 ]; do
        sleep 0.05
        i=$((i + 1))
    done
    test -s "$1"
}
# A program that writes its pid and option directory, then runs for at most
# 10 s; with a signal name it exits with 7 on that signal.
program_waiting() {
    echo "${1:+trap 'exit 7' $1;}"' echo "$$ $VDLSDK_CONFIG" >"$0"; i=0
        while [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done'
}

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
# A signal sent to the launcher alone reaches the program, and the launcher
# ends with the program's status. Background commands of this shell have INT
# ignored: env gives the launcher its default back.
for sig in TERM INT HUP; do
    rm -f "$scratch/started"
    TMPDIR=$scratch/tmp env --default-signal=INT "$run" sh -c "$(program_waiting $sig)" \
        "$scratch/started" &
    launcher=$!
    await "$scratch/started"
    kill -s $sig $launcher
    wait $launcher
    check "$sig is passed on and the program's status comes back" test $? -eq 7
    read -r pid config <"$scratch/started"
    check "the program got $sig and ended" sh -c "! kill -0 $pid 2>/dev/null"
    check "the option directory is gone after $sig" test ! -e "$config"
done
rm -f "$scratch/started"
TMPDIR=$scratch/tmp "$run" sh -c "$(program_waiting)" "$scratch/started" &
launcher=$!
await "$scratch/started"
kill -s TERM $launcher
wait $launcher
check "a program ended by a signal passed on gives 128 + the signal" test $? -eq 143
check "no temporary directory is left behind" leftovers

# Standard error on a pipe whose reader is gone: TERM or HUP to the whole
# process group must still leave no temporary option directory.
mkfifo "$scratch/pipe"
(: <"$scratch/pipe") &
exec 4>"$scratch/pipe"
wait $!
for sig in TERM:143 HUP:129; do
    want=${sig#*:}
    sig=${sig%:*}
    rm -f "$scratch/started"
    TMPDIR=$scratch/tmp setsid "$run" sh -c "$(program_waiting)" "$scratch/started" 2>&4 &
    launcher=$!
    await "$scratch/started"
    kill -s $sig -- -$launcher
    wait $launcher
    status=$?
    check "$sig to the group with a closed standard error gives the program's status" \
        test $status -eq $want
    check "no temporary directory is left after $sig to the group" leftovers
done
TMPDIR=$scratch/tmp "$run" sh -c 'kill -TERM $$' 2>&4
check "a program killed with a closed standard error gives 143" test $? -eq 143
check "nor is one left by it" leftovers
TMPDIR=$scratch/tmp "$run" --cards 99 true 2>&4
check "a refusal with a closed standard error still gives 2" test $? -eq 2
exec 4>&-

# The program keeps the caller's standard input.
out=$(echo input-line | "$run" sh -c 'read -r line; echo "$line"')
check "the program reads the caller's standard input" test "$out" = input-line

# Card counts: 0 to the simulator's maximum, in decimal.
for cards in 99 17 -1 abc 0x2 ""; do
    TMPDIR=$scratch/tmp "$run" --cards "$cards" true 2>"$scratch/err"
    check "--cards '$cards' is refused with 2" test $? -eq 2
    check "with a message" grep -q "vdlsim-run: .*cards" "$scratch/err"
done
"$run" -c 16 sh -c 'test "$VDLSIM_CARDS" = 16'
check "-c 16, the simulator's maximum, is taken" test $? -eq 0
"$run" --cards=02 sh -c 'test "$VDLSIM_CARDS" = 2'
check "a count with leading zeros is read as decimal" test $? -eq 0

TMPDIR=$scratch/tmp "$run" "$scratch/no-such-program" 2>"$scratch/err"
check "a program that is not found gives 127" test $? -eq 127
check "with a message naming it" grep -q "no-such-program" "$scratch/err"
check "and no temporary directory is left" leftovers

"$run" -s no-such-scenario true 2>/dev/null
check "an unknown scenario is refused" test $? -eq 125

# --help and -h: the whole usage on standard output, status 0. A wrong call: its
# reason, then the same usage, on standard error, status 2.
for help in --help -h; do
    "$run" $help >"$scratch/usage" 2>"$scratch/err"
    check "$help exits 0" test $? -eq 0
    check "$help prints the usage on standard output" grep -q -- "--list-scenarios" "$scratch/usage"
    check "$help writes nothing on standard error" test ! -s "$scratch/err"
done
for call in "" "--no-such-option true" "--cards" "--scenario"; do
    TMPDIR=$scratch/tmp "$run" $call >"$scratch/out" 2>"$scratch/err"
    check "'$call' is a wrong call: 2" test $? -eq 2
    check "'$call' gives its reason and the usage on standard error" \
        sh -c 'grep -q "^vdlsim-run: " "$1" && tail -n +2 "$1" | cmp -s - "$2"' - \
        "$scratch/err" "$scratch/usage"
    check "'$call' writes nothing on standard output" test ! -s "$scratch/out"
done
check "and no temporary directory is left by them" leftovers

[ $failures -eq 0 ]
