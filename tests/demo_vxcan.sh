#!/bin/bash
# SPDX-License-Identifier: MIT
# scripts/demo vxcan on this host. Where its kernel can make a vxcan pair,
# the demo must show busemit's frame printed by buslisten; where it
# cannot (no CAN support), the demo must say so in one line and end with
# 1 at once, before it builds or installs anything.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

started=$SECONDS
bash "$here/../scripts/demo" vxcan > "$work/stdout" 2> "$work/stderr"
status=$?
took=$((SECONDS - started))
if unshare -n ip link add can0 type vxcan peer name can1 2> /dev/null; then
    echo "this kernel makes vxcan pairs: the demo runs the programs on one"
    check_status "the demo" 0 <(echo $status)
    echo "buslisten printed busemit's frame" |
        check_bytes "its last line says buslisten printed the frame" <(tail -n 1 "$work/stdout")
else
    echo "this kernel makes no vxcan pair: the demo refuses"
    check_status "the demo" 1 <(echo $status)
    check_bytes "nothing on standard output: nothing built or installed" "$work/stdout" < /dev/null
    check_true "one line on standard error ($(cat "$work/stderr"))" [ "$(wc -l < "$work/stderr")" = 1 ]
    check_true "it says why and points to the emulated bus" \
        grep -q "^error: this machine's kernel cannot make a vxcan pair (ip: .*scripts/demo shows" \
        "$work/stderr"
    check_true "within 10 s ($took s)" [ "$took" -lt 10 ]
fi
finish
