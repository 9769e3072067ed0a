#!/bin/sh
# check_output.sh EXPECTED COMMAND [ARGS]
# Runs the command, shows its output, and passes when it exits with 0 and its
# output holds every line of EXPECTED (fixed text, a part of a line, in that
# order; empty lines and lines starting with # are skipped).
set -u
expected=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$@" >"$out" 2>&1
status=$?
cat "$out"
echo "--- exit status $status"
failed=0
[ $status -eq 0 ] || { echo "FAIL: exit status $status"; failed=1; }
at=0
while IFS= read -r want || [ -n "$want" ]; do
    case $want in '' | '#'*) continue ;; esac
    n=$(tail -n +$((at + 1)) "$out" | grep -n -F -m 1 -e "$want" | cut -d: -f1)
    if [ -z "$n" ]; then
        echo "FAIL: no line with \"$want\" (after line $at)"
        failed=1
    else
        at=$((at + n))
    fi
done <"$expected"
[ $failed -eq 0 ] && echo "--- every expected line found"
exit $failed
