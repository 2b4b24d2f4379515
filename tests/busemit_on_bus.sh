#!/bin/bash
# SPDX-License-Identifier: MIT
# busemit on the real Linux CAN stack, in the emulated host: the set-up
# failures, a successful send seen by candump, a send on a downed can1,
# sends whose frame can1's queue holds back for less, or for longer, than
# busemit waits for the controller to report it sent, can1 vanishing
# meanwhile, and a classic-only controller as can1, which kernels treat
# in their own ways (the targets table's facts say how, by version).
# Usage: busemit_on_bus.sh HOST ROW RUN_DIR, with the boot that
# emulated_run.sh made into RUN_DIR.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
source "$here/../emulator/common.sh"
guest_part "$3" busemit
data_bitrate=$(host_data_bitrate "$1")
warning=$(bitrate_warning "$1" "$kernel")

# Every case runs with the stand-in sudo marking each command on standard
# output, so standard output shows the commands and busemit's own lines
# in the order in which they came.
down_mark='sudo ifconfig can1 down'
one_frame='  can0  123   [8]  01 02 03 04 05 06 07 08'

for case in no_can no_controller bind_fails; do
    echo "set-up failure: $case"
    { setup_marks can1; printf '%s\r\n' "$busemit_banner"; } |
        check_bytes "the three commands, then the banner, and no final down" "$out/$case/stdout"
    check_status "$case" 1 "$out/$case/status"
done
echo 'Create socket PF_CAN failed!: Address family not supported by protocol' |
    check_bytes "the socket failure ends standard error" <(tail -n 1 "$out/no_can/stderr")
echo 'ioctl interface index failed!: No such device' |
    check_bytes "the index failure ends standard error" <(tail -n 1 "$out/no_controller/stderr")
check_true "the commands' own errors come before it" [ "$(wc -l < "$out/no_controller/stderr")" -gt 1 ]
echo 'bind failed!: No such device' |
    check_bytes "the bind failure ends standard error" <(tail -n 1 "$out/bind_fails/stderr")

# check_sent CASE: the frame went out once; one final down; exit status 0.
check_sent() {
    echo "frame sent: $1"
    { setup_marks can1; printf '%s\r\n' "$busemit_banner"; busemit_frame_lines; echo "$down_mark"; } |
        check_bytes "the commands, the eleven lines, then one down" "$out/$1/stdout"
    check_status "a frame sent" 0 "$out/$1/status"
    echo "$one_frame" | check_bytes "candump on can0 saw the frame once" "$out/$1/candump"
}

# check_not_sent CASE: the incomplete-send line, the down twice, status 1.
check_not_sent() {
    echo "frame not sent: $1"
    { setup_marks can1; printf '%s\r\n' "$busemit_banner"; busemit_frame_lines
      printf 'Send  frame incompletely!\r\n'; echo "$down_mark"; echo "$down_mark"; } |
        check_bytes "the commands, the frame, the incomplete-send line, then two downs" \
            "$out/$1/stdout"
    check_status "a frame not sent is a failure" 1 "$out/$1/status"
}

# ip's bit-rate warning for this host and kernel, if any, and nothing else.
check_fact "$kernel" warning-decimals "$warning" \
    "$(grep '^Warning: bitrate error' "$out/success/stderr")" "ip warned"
for case in success short_delay send_fails long_delay foreign_frame; do
    check_bytes "standard error is empty: $case" <(own_stderr "$out/$case/stderr") < /dev/null
done
check_sent success
check_sent short_delay
link=$out/success/link
check_true "can1 is down afterwards" grep -q '^[0-9]*: can1: <NOARP,ECHO>' "$link"
check_true "can1 runs CAN FD" grep -q ' can <FD[,>]' "$link"
check_true "can1's nominal bit rate" grep -q 'bitrate 500000 ' "$link"
check_true "can1's data bit rate ($data_bitrate for 2 Mbit/s)" grep -q "dbitrate $data_bitrate " "$link"

for case in send_fails long_delay foreign_frame vanished; do check_not_sent $case; done
check_bytes "nothing reached can0 from a downed can1" "$out/send_fails/candump" < /dev/null
check_bytes "nothing reached can0 from a queue held too long" "$out/long_delay/candump" < /dev/null
echo "$one_frame" | check_bytes "candump saw can0's own frame, not busemit's" "$out/foreign_frame/candump"
for case in long_delay foreign_frame; do
    check_bytes "can1's queue never let the frame through: $case" \
        "$out/$case/queue_sent_after" < "$out/$case/queue_sent_before"
done
echo yes | check_bytes "busemit was still waiting when can1 vanished" "$out/vanished/waiting"

# A classic controller, asked for CAN FD timing, makes each kernel answer
# in its own way (the targets table's facts say how).
case=$out/classic
echo "a classic-only can1 on kernel $kernel"
if ! grep -qw "$2" <<< "$(host_classic_rows "$1")"; then
    echo "  the targets table gives the $1 host no classic CAN interface on row $2: no case to run"
    check_true "as the targets table says, there was no classic can1" [ ! -e "$case/status" ]
elif [ ! -e "$case/status" ]; then
    failed "the classic card brought up no interface"
else
    check_fact "$kernel" classic-message "$(kernel_fact classic-message "$kernel")" \
        "$(grep -E '^(RTNETLINK answers|Error): ' "$case/stderr" | head -n 1)" "ip printed"
    bitrate=none
    ! grep -q 'bitrate 500000 ' "$case/link" || bitrate=nominal
    check_fact "$kernel" classic-bitrate "$(kernel_fact classic-bitrate "$kernel")" "$bitrate" \
        "can1's nominal bit rate afterwards was"
    if [ "$bitrate" = nominal ]; then
        echo "  the kernel sets the nominal bit rate, refuses CAN FD, and the frame goes out as a classic frame"
        check_sent classic
    else
        echo "  the kernel sets no bit rate, so can1 does not come up and the write fails"
        check_true "ifconfig cannot bring can1 up" grep -qx 'SIOCSIFFLAGS: Invalid argument' "$case/stderr"
        check_not_sent classic
        check_bytes "nothing reached can0" "$case/candump" < /dev/null
    fi
fi

finish
