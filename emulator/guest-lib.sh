# SPDX-License-Identifier: MIT
# Helpers for the scripts that run inside the emulated host.
# Each case writes its findings into $out/CASE for the host to check:
# /out, or the folder in GUEST_OUT, under /out.
. /work/host.sh
out=${GUEST_OUT:-/out}
mkdir -p "$out"

mkdir -p /work/bin
ln -sf /work/sudo-standin /work/bin/sudo

load_can_core() {
    for module in can can-raw can-dev; do
        insmod "/modules/$module.ko" || echo "cannot load $module"
    done
}

# The classic CAN card's controller (SJA1000), which comes up as the next
# free canN.
load_classic_controller() {
    for module in sja1000 kvaser_pci; do
        insmod "/modules/$module.ko" || echo "cannot load $module"
    done
}

# unload_can: takes every CAN module out of the kernel again, the
# controllers' drivers first, as if no CAN had been loaded.
unload_can() {
    for module in kvaser_pci sja1000 $(echo $controller_modules | tr ' ' '\n' | tac) sch_netem \
        vxcan can_raw can_dev can; do
        [ ! -e "/sys/module/$module" ] || rmmod "$module" || echo "cannot unload $module"
    done
}

# Lets tc hold frames back in an interface's queue.
load_queue_delay() {
    insmod /modules/sch_netem.ko || echo "cannot load sch_netem"
}

# The host's two CAN FD controllers, which come up as can0 and can1.
load_can_controller() {
    for module in $controller_modules; do
        insmod "/modules/$module.ko" || echo "cannot load $module"
    done
}

# remove_controller IFNAME: takes IFNAME's controller away, as pulling out
# an adapter or unloading its driver does: the driver lets the device go
# and the kernel unregisters its interfaces (on a card with two
# controllers, both).
remove_controller() {
    removed_device=$(readlink -f "/sys/class/net/$1/device")
    removed_driver=$(readlink -f "$removed_device/driver")
    echo "${removed_device##*/}" > "$removed_driver/unbind"
}

# restore_controller: brings the removed controller back; its interfaces
# come back under their names, down.
restore_controller() {
    echo "${removed_device##*/}" > "$removed_driver/bind"
}

# set_up_interface IFNAME: the bus timing the programs use, and up.
set_up_interface() {
    ip link set "$1" down
    ip link set "$1" up type can bitrate 500000 dbitrate 2000000 fd on
}

# run_case CASE PROGRAM [ARGUMENT...]: runs the program to its end, for
# 20 s at most, with the stand-in sudo recording into $out/CASE/sudo.log.
run_case() {
    case_dir=$out/$1
    shift
    mkdir -p "$case_dir"
    SUDO_LOG=$case_dir/sudo.log timeout 20 "$@" > "$case_dir/stdout" 2> "$case_dir/stderr" < /dev/null
    echo $? > "$case_dir/status"
    if [ "$(cat "$case_dir/status")" -ge 124 ]; then
        echo "gave up after 20 s waiting for $* to end (case $case_dir)" | tee -a "$out/gave-up"
        exit 1
    fi
}

# receivers IFNAME: the raw sockets that receive every frame on IFNAME.
receivers() {
    grep -c "^ *$1 " /proc/net/can/rcvlist_all
}

# more_receivers IFNAME COUNT: IFNAME has more than COUNT such receivers.
more_receivers() {
    [ "$(receivers "$1")" -gt "$2" ]
}

# frames_on IFNAME: the frames that every receiver on IFNAME has been
# given so far: those that IFNAME received from the bus, and those that
# it sent.
frames_on() {
    echo $(($(cat "/sys/class/net/$1/statistics/rx_packets") +
        $(cat "/sys/class/net/$1/statistics/tx_packets")))
}

# caught_up FILE PATTERN MARK IFNAME: FILE has at least as many lines that
# match PATTERN as IFNAME has had frames since it had MARK: the receiver
# that writes FILE has none of them still on its way.
caught_up() {
    [ "$(grep -c "$2" "$1")" -ge $(($(frames_on "$4") - $3)) ]
}

# start_candump CASE IFNAME [OPTION...]: an independent receiver's log of
# the interface, once its socket is receiving.
start_candump() {
    mkdir -p "$out/$1"
    candump_file=$out/$1/candump
    candump_ifname=$2
    shift 2
    candump_mark=$(frames_on "$candump_ifname")
    candump_receivers=$(receivers "$candump_ifname")
    candump "$@" "$candump_ifname" > "$candump_file" 2>&1 &
    candump_pid=$!
    wait_until 10 "candump receiving on $candump_ifname" \
        more_receivers "$candump_ifname" "$candump_receivers"
}

# wait_until SECONDS WHAT COMMAND...: until the command succeeds. When the
# time is up it says which wait gave up, in $out/gave-up for the host to
# report, and ends the script there: the case has failed.
wait_until() {
    tries=$(($1 * 10))
    limit=$1
    what=$2
    shift 2
    while ! "$@"; do
        if [ "$tries" -le 0 ]; then
            echo "gave up after $limit s waiting for $what" | tee -a "$out/gave-up"
            exit 1
        fi
        sleep 0.1
        tries=$((tries - 1))
    done
}

# at_least FILE COUNT PATTERN: FILE has COUNT lines that match PATTERN.
at_least() {
    [ -e "$1" ] && [ "$(grep -c "$3" "$1")" -ge "$2" ]
}

# stop_candump [LINES]: once candump has written LINES lines, and a line
# for every frame that its interface had meanwhile, also those it should
# not have had.
stop_candump() {
    wait_until 10 "${1:-0} lines from candump" at_least "$candump_file" "${1:-0}" ''
    wait_until 10 "a line from candump for every frame on $candump_ifname" \
        caught_up "$candump_file" '' "$candump_mark" "$candump_ifname"
    kill "$candump_pid"
    wait "$candump_pid" 2> /dev/null
}

# wait_for_output FILE: until FILE has something in it.
wait_for_output() {
    wait_until 10 "output in $1" test -s "$1"
}

# wait_for_listener FILE BEFORE: until a buslisten started when can0 had
# BEFORE receivers receives there too, and its banner shows in FILE.
wait_for_listener() {
    wait_until 10 "buslisten receiving on can0" more_receivers can0 "$2"
    wait_until 10 "buslisten's banner in $1" grep -q '^This is a can receive demo' "$1"
}

# frame_count FILE: the frames in buslisten's output in FILE.
frame_count() {
    grep -c '^Received' "$1"
}

# note_frames FILE: how many frames buslisten's output in FILE and can0
# hold now, for wait_for_frames.
note_frames() {
    noted_frames=$(frame_count "$1")
    noted_can0=$(frames_on can0)
}

# wait_for_frames FILE COUNT: until buslisten's output in FILE holds COUNT
# frames more than noted, and a frame for every one that can0 had
# meanwhile, also those it should not have had.
wait_for_frames() {
    wait_until 10 "$2 frames from buslisten in $1" at_least "$1" $((noted_frames + $2)) '^Received'
    wait_until 10 "a frame from buslisten for every frame on can0" \
        caught_up "$1" '^Received' $((noted_can0 - noted_frames)) can0
}

# alive PID: the process runs (it is there and no zombie waiting to be
# reaped).
alive() {
    [ -e "/proc/$1/stat" ] && ! grep -q '^[0-9]* (.*) Z ' "/proc/$1/stat" 2> /dev/null
}

# ended PID: the process has ended.
ended() {
    ! alive "$1"
}

# sleeping PID: the process waits in a system call.
sleeping() {
    grep -q '^[0-9]* (.*) S ' "/proc/$1/stat" 2> /dev/null
}

# drained FILE LISTENER READER: buslisten (LISTENER) has printed all it
# held: FILE, which READER writes from buslisten's output pipe, has not
# grown since the last look (drained_before, which a new wait empties),
# and both wait, READER on an empty pipe and so buslisten on its socket.
drained() {
    drained_now=$(byte_count "$1")
    [ "$drained_now" = "${drained_before:-}" ] && sleeping "$2" && sleeping "$3" && return 0
    drained_before=$drained_now
    return 1
}

# cpu_ticks PID: the process's user and system time so far, in clock ticks.
cpu_ticks() {
    set -- $(cut -d' ' -f14,15 "/proc/$1/stat")
    echo $(($1 + $2))
}

# byte_count FILE
byte_count() {
    wc -c < "$1" | tr -d ' '
}

# holds_bytes FILE COUNT: FILE is COUNT bytes long.
holds_bytes() {
    [ "$(byte_count "$1")" = "$2" ]
}

# output_since FILE OFFSET DESTINATION: what was added to FILE after OFFSET bytes.
output_since() {
    tail -c "+$(($2 + 1))" "$1" > "$3"
}
