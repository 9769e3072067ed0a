#!/bin/sh
# Checks the vdlusb-emulate launcher: what it sets for the program, the testbed
# removed afterwards, the exit status passed through, its refusals, and string
# descriptors answered at the indexes a device descriptor names.
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
"$emulate" -- true 2>/dev/null
check "no device description is a usage error" test $? -eq 2
"$emulate" --device "$scratch/missing.umockdev" -- true 2>/dev/null
check "an unreadable description is a usage error" test $? -eq 2
printf 'not a description\n' >"$scratch/bad.umockdev"
"$emulate" --device "$scratch/bad.umockdev" -- true 2>/dev/null
check "a malformed description is a usage error" test $? -eq 2

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
