#!/bin/bash
# busemit on the real Linux CAN stack, in the emulated host: the set-up
# failures, a successful send seen by candump, and a send on a downed can1.
# Usage: busemit_on_bus.sh BUSEMIT
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$here/../emulator/run-guest" "$out" "$here/guest/busemit_cases" \
    "$1" || exit 1

echo "kernel without CAN"
case=$out/no_can
setup_commands can1 | check_bytes "only the three set-up commands" "$case/sudo.log"
printf '%s\r\n' "$busemit_banner" | check_bytes "standard output is the banner" "$case/stdout"
echo 'Create socket PF_CAN failed!: Address family not supported by protocol' |
    check_bytes "the socket failure ends standard error" <(tail -n 1 "$case/stderr")
check_status "no CAN" 1 "$case/status"

echo "CAN without a controller"
case=$out/no_controller
setup_commands can1 | check_bytes "only the three set-up commands" "$case/sudo.log"
printf '%s\r\n' "$busemit_banner" | check_bytes "standard output is the banner" "$case/stdout"
echo 'ioctl interface index failed!: No such device' |
    check_bytes "the index failure ends standard error" <(tail -n 1 "$case/stderr")
check_true "the commands' own errors come before it" [ "$(wc -l < "$case/stderr")" -gt 1 ]
check_status "no controller" 1 "$case/status"

echo "successful send"
case=$out/success
{ setup_commands can1; echo 'ifconfig can1 down'; } |
    check_bytes "the set-up commands and one final down" "$case/sudo.log"
{ printf '%s\r\n' "$busemit_banner"; busemit_frame_lines; } |
    check_bytes "standard output is the eleven lines" "$case/stdout"
check_bytes "standard error is empty" "$case/stderr" < /dev/null
check_status "successful send" 0 "$case/status"
echo '  can0  123   [8]  01 02 03 04 05 06 07 08' |
    check_bytes "candump on can0 saw exactly the one frame" "$case/candump"
check_true "can1 is down afterwards" grep -q '^[0-9]*: can1: <NOARP,ECHO>' "$case/link"
check_true "can1 runs CAN FD" grep -q ' can <FD> ' "$case/link"
check_true "can1's nominal bit rate" grep -q 'bitrate 500000 ' "$case/link"
check_true "can1's data bit rate" grep -q 'dbitrate 2000000 ' "$case/link"

echo "send on a downed can1"
case=$out/send_fails
{ setup_commands can1; echo 'ifconfig can1 down'; echo 'ifconfig can1 down'; } |
    check_bytes "the set-up commands, then the down command twice" "$case/sudo.log"
{ printf '%s\r\n' "$busemit_banner"; busemit_frame_lines; printf 'Send  frame incompletely!\r\n'; } |
    check_bytes "the frame, then the incomplete-send line" "$case/stdout"
check_bytes "standard error is empty" "$case/stderr" < /dev/null
check_status "a frame not sent is a failure" 1 "$case/status"
check_bytes "nothing reached can0" "$case/candump" < /dev/null

finish
