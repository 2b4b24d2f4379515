#!/bin/bash
# SPDX-License-Identifier: MIT
# Runs a program on this host with a stand-in sudo that only records the
# commands. This host has no can interface, so the set-up must fail:
# at the socket when the kernel has no CAN, else at the index lookup.
# Usage: host_setup_failure.sh PROGRAM CAN_SOCKET_PROBE
set -u
program=$1
probe=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"

case $(basename "$program") in
busemit)
    ifname=can1
    socket_failed='Create socket PF_CAN failed!'
    banner=$busemit_banner
    ;;
buslisten)
    ifname=can0
    socket_failed='Create socket PF_CAN failed'
    banner=$buslisten_banner
    ;;
*)
    echo "unknown program $program"
    exit 2
    ;;
esac

if [ -e "/sys/class/net/$ifname" ]; then
    echo "SKIPPED: this host has a real $ifname, which the program would drive"
    exit 77
fi

case $("$probe") in
none)
    echo "kernel without CAN: expecting the socket creation to fail"
    expected_error="$socket_failed: Address family not supported by protocol"
    ;;
can)
    echo "kernel with CAN and no $ifname: expecting the index lookup to fail"
    expected_error="ioctl interface index failed!: No such device"
    ;;
*)
    echo "the probe gave no answer"
    exit 1
    ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cp "$here/../emulator/sudo-standin" "$work/bin/sudo"

for arguments in "" "--help foo"; do
    echo "arguments: '$arguments'"
    rm -f "$work/sudo.log"
    # shellcheck disable=SC2086  # the arguments are split on purpose
    SUDO_LOG="$work/sudo.log" PATH="$work/bin:$PATH" \
        "$program" $arguments > "$work/stdout" 2> "$work/stderr" < /dev/null
    echo $? > "$work/status"

    setup_commands "$ifname" | check_bytes "the three set-up commands, nothing after" "$work/sudo.log"
    printf '%s\r\n' "$banner" | check_bytes "standard output is the banner alone" "$work/stdout"
    echo "$expected_error" | check_bytes "standard error is the one failure report" "$work/stderr"
    check_status "set-up failure" 1 "$work/status"
done

finish
