#!/bin/bash
# Runs a program on this host with a stand-in sudo that only records the
# commands. This host has no can interface, so the set-up must fail:
# at the socket when the kernel has no CAN, else at the index lookup.
# Usage: host_setup_failure.sh PROGRAM CAN_SOCKET_PROBE
set -u
program=$1
probe=$2
here=$(cd "$(dirname "$0")" && pwd)

case $(basename "$program") in
busemit)
    ifname=can1
    socket_failed='Create socket PF_CAN failed!'
    banner='This is a socket canfd transmit demo program ,can1 with Bit Rate 500 kBit/s,Data Bit Rate 2MBit/s'
    ;;
buslisten)
    ifname=can0
    socket_failed='Create socket PF_CAN failed'
    banner='This is a can receive demo,can0 with BitRate 500kBit/s,Date Bit Rate 2MBit/s!'
    ;;
*)
    echo "unknown program $program"
    exit 2
    ;;
esac

if [ -e "/sys/class/net/$ifname" ]; then
    echo "SKIPPED: this host has a real $ifname; the program would drive it"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cp "$here/sudo-standin" "$work/bin/sudo"

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

failures=0
check() {  # check WHAT EXPECTED-FILE ACTUAL-FILE
    if ! cmp -s "$2" "$3"; then
        echo "FAIL: $1"
        echo "  expected:"; od -c "$2" | sed 's/^/    /'
        echo "  actual:"; od -c "$3" | sed 's/^/    /'
        failures=$((failures + 1))
    fi
}

for arguments in "" "--help foo"; do
    echo "arguments: '$arguments'"
    rm -f "$work/sudo.log"
    # shellcheck disable=SC2086  # the arguments are split on purpose
    SUDO_LOG="$work/sudo.log" PATH="$work/bin:$PATH" \
        "$program" $arguments > "$work/stdout" 2> "$work/stderr" < /dev/null
    status=$?

    printf 'ifconfig %s down\nip link set %s up type can bitrate 500000 dbitrate 2000000 fd on\nifconfig %s up\n' \
        "$ifname" "$ifname" "$ifname" > "$work/expected.sudo"
    check "the three set-up commands, and nothing after them" "$work/expected.sudo" "$work/sudo.log"
    printf '%s\r\n' "$banner" > "$work/expected.stdout"
    check "standard output is the banner alone" "$work/expected.stdout" "$work/stdout"
    printf '%s\n' "$expected_error" > "$work/expected.stderr"
    check "standard error is the one failure report" "$work/expected.stderr" "$work/stderr"
    if [ "$status" != 1 ]; then
        echo "FAIL: exit status $status, expected 1"
        failures=$((failures + 1))
    fi
done

[ "$failures" = 0 ] && echo "all checks passed"
[ "$failures" = 0 ]
