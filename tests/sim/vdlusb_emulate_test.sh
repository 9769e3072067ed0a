#!/bin/sh
# Checks the vdlusb-emulate launcher: what it sets for the program, the testbed
# removed afterwards (also after a refusal or a signal), the exit status passed
# through, its refusals, --help and wrong calls, and string descriptors answered
# at the indexes a device descriptor names.
# Usage: vdlusb_emulate_test.sh VDLUSB_EMULATE DATA_DIR [LIST_USB_PROGRAM]
set -u
emulate=$1
data=$2
list_usb=${3:-}
devices=$data/string-indexes.umockdev
failures=0
check() { # description, then the command that must succeed
    what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The testbeds go here, to be checked.
mkdir "$scratch/tmp"
leftovers() { test -z "$(ls -A "$scratch/tmp")"; }

LD_PRELOAD= "$emulate" --device "$devices" -- sh -c \
    'echo "$LD_PRELOAD|$UMOCKDEV_DIR"; test -d "$UMOCKDEV_DIR/sys/devices/usb2/2-1"' \
    >"$scratch/env" 2>&1
check "a program runs in a testbed with the described devices" test $? -eq 0
IFS='|' read -r preload dir <"$scratch/env"
check "umockdev's preload library is all of an empty LD_PRELOAD" \
    test "$preload" = libumockdev-preload.so.0
check "the testbed is gone afterwards" test ! -e "$dir"

LD_PRELOAD=libfoo.so UMOCKDEV_DIR=/nowhere "$emulate" --device "$devices" -- sh -c \
    'echo "$LD_PRELOAD|$UMOCKDEV_DIR"' >"$scratch/env2" 2>/dev/null
IFS='|' read -r preload dir <"$scratch/env2"
check "the caller's LD_PRELOAD is kept behind umockdev's" \
    test "$preload" = libumockdev-preload.so.0:libfoo.so
check "the caller's UMOCKDEV_DIR gives way to the testbed's" test "$dir" != /nowhere

"$emulate" --device "$devices" -- sh -c 'exit 42'
check "the exit status is passed through" test $? -eq 42
"$emulate" --device "$devices" -- sh -c 'kill -TERM $$'
check "a program killed by a signal gives 128 + the signal" test $? -eq 143
"$emulate" --device "$devices" -- "$scratch/no-such-program" 2>/dev/null
check "a program that cannot run gives 127" test $? -eq 127
# --help and -h: the whole usage on standard output, status 0. A wrong call: the
# same usage on standard error, after its reason, status 2.
for help in --help -h; do
    "$emulate" $help >"$scratch/usage" 2>"$scratch/err"
    check "$help exits 0" test $? -eq 0
    check "$help prints the usage on standard output" grep -q -- "--device FILE" "$scratch/usage"
    check "$help writes nothing on standard error" test ! -s "$scratch/err"
done
for call in "" "-- true" "--device $devices" "--no-such-option" "--device"; do
    TMPDIR=$scratch/tmp "$emulate" $call >"$scratch/out" 2>"$scratch/err"
    check "'$call' is a wrong call: 2" test $? -eq 2
    check "'$call' gives its reason and the usage on standard error" \
        sh -c 'grep -q "^vdlusb-emulate: " "$1" && tail -n +2 "$1" | cmp -s - "$2"' - \
        "$scratch/err" "$scratch/usage"
    check "'$call' writes nothing on standard output" test ! -s "$scratch/out"
done
check "and no testbed is left by them" leftovers
# Descriptions it cannot use: a message, exit status 2, no testbed left.
printf 'not a description\n' >"$scratch/bad.umockdev"
: >"$scratch/empty.umockdev"
printf 'P: /devices/usb2\000E: SUBSYSTEM=usb\n' >"$scratch/nul.umockdev"
printf 'P: /devices/usb2\n' >"$scratch/partial.umockdev"
for description in "$scratch" missing.umockdev bad.umockdev empty.umockdev nul.umockdev \
    partial.umockdev; do
    case $description in /*) ;; *) description=$scratch/$description ;; esac
    TMPDIR=$scratch/tmp "$emulate" --device "$devices" --device "$description" -- true \
        2>"$scratch/err"
    check "${description#"$scratch"/} is refused with 2" test $? -eq 2
    check "with a message naming it" grep -q -F "$description" "$scratch/err"
    check "and no testbed left" leftovers
done
# Standard error on a pipe whose reader is gone.
mkfifo "$scratch/pipe"
(: <"$scratch/pipe") &
exec 4>"$scratch/pipe"
wait $!
TMPDIR=$scratch/tmp "$emulate" --device "$scratch/bad.umockdev" -- true 2>&4
check "a refusal with a closed standard error still gives 2" test $? -eq 2
check "and leaves no testbed" leftovers
"$emulate" --no-such-option 2>&4
check "a wrong call with a closed standard error still gives 2" test $? -eq 2
exec 4>&-

# A signal to the launcher alone goes on to the program; the testbed goes.
TMPDIR=$scratch/tmp "$emulate" --device "$devices" -- sh -c \
    'trap "exit 7" TERM; echo $$ >"$0"; i=0
     while [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done' "$scratch/started" &
launcher=$!
i=0
while [ ! -s "$scratch/started" ] && [ $i -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
done
kill -s TERM $launcher
wait $launcher
check "TERM is passed on and the program's status comes back" test $? -eq 7
check "the testbed is gone after it" leftovers

if [ -n "$list_usb" ]; then
    # Serial at index 5 and product at 6; a manufacturer attribute the
    # descriptor does not name stays unread.
    VDLSDK_CONFIG=$scratch "$emulate" --device "$devices" -- "$list_usb" >"$scratch/list" 2>&1
    check "list_usb runs" test $? -eq 0
    check "the serial and product come from their descriptor indexes" grep -q -F \
        'device 0: 5644:1114 at [2-1], serial "SERIAL-AT-5", product "Board at index 6"' \
        "$scratch/list"
    [ $failures -eq 0 ] || cat "$scratch/list"
fi

[ $failures -eq 0 ] && echo "all passed"
exit $failures
