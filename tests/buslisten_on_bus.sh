#!/bin/bash
# SPDX-License-Identifier: MIT
# buslisten on the real Linux CAN stack, in the emulated host: the set-up
# failures, short reads, an output that fails, an output whose reader
# stalls while frames are dropped, busemit's frame, frames from cansend,
# can0 down and up under a running buslisten, a few thousand frames at
# line rate, and can0's controller taken away.
# Usage: buslisten_on_bus.sh HOST ROW RUN_DIR, with the boot that
# emulated_run.sh made into RUN_DIR.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
source "$here/../emulator/common.sh"
guest_part "$3" buslisten
warning=$(bitrate_warning "$1" "$kernel")

for case in no_can no_controller bind_fails; do
    echo "set-up failure: $case"
    setup_commands can0 | check_bytes "only the three set-up commands" "$out/$case/sudo.log"
    printf '%s\r\n' "$buslisten_banner" | check_bytes "standard output is the banner" "$out/$case/stdout"
    check_status "$case" 1 "$out/$case/status"
done
echo 'Create socket PF_CAN failed: Address family not supported by protocol' |
    check_bytes "the socket failure ends standard error" <(tail -n 1 "$out/no_can/stderr")
echo 'ioctl interface index failed!: No such device' |
    check_bytes "the index failure ends standard error" <(tail -n 1 "$out/no_controller/stderr")
echo 'bind failed: No such device' |
    check_bytes "the bind failure ends standard error" <(tail -n 1 "$out/bind_fails/stderr")

echo "set-up of the listening buslisten"
setup_commands can0 | check_bytes "the three can0 commands" "$out/listen/sudo.log"

echo "busemit's frame"
{ setup_marks can0; printf '%s\r\n' "$buslisten_banner"; listen_block standard 123 8 1 2 3 4 5 6 7 8; } |
    check_bytes "the commands' lines, banner and block, readable while buslisten runs" \
        "$out/busemit_frame/listen_snapshot"
check_status "busemit" 0 "$out/busemit_frame/status"

echo "frames from cansend"
{
    listen_block extended 12345678 8 222 173 190 239 1 2 3 4
    listen_block standard 7FF 0 '*' '*' '*' '*' '*' '*' '*' '*'
    listen_block standard 123 0 '*' '*' '*' '*' '*' '*' '*' '*'
    listen_block standard 321 4 255 128 1 127 '*' '*' '*' '*'
    listen_block extended 1FFFFFFF 1 255 '*' '*' '*' '*' '*' '*' '*'
    listen_block standard 0 8 0 0 0 0 0 0 0 0
} | check_bytes "each frame's block" <(mask_beyond_length < "$out/cansend/blocks")

echo "can0 down and up"
check_true "no CPU time while waiting ($(cat "$out/down_up/idle_ticks") ticks)" \
    [ "$(cat "$out/down_up/idle_ticks")" -le 1 ]
listen_block standard 456 2 10 11 '*' '*' '*' '*' '*' '*' |
    check_bytes "nothing while can0 was down, then the next frame" \
        <(mask_beyond_length < "$out/down_up/blocks")

echo "line-rate load"
check_true "cangen sent without error" [ ! -s "$out/load/cangen" ]
frames=$(wc -l < "$out/load/candump")
check_true "candump saw all 4000 frames ($frames)" [ "$frames" = 4000 ]
candump_as_blocks < "$out/load/candump" |
    check_bytes "buslisten printed every frame that candump saw" "$out/load/blocks"

echo "short reads"
{
    printf '%s\r\n' "$buslisten_banner"
    listen_block standard 222 2 34 34 '*' '*' '*' '*' '*' '*'
    listen_block standard 444 4 68 68 68 68 '*' '*' '*' '*'
} | check_bytes "only the frames read whole are printed" \
    <(mask_beyond_length < "$out/short_reads/stdout")
check_bytes "standard error is empty" <(own_stderr "$out/short_reads/stderr") < /dev/null

echo "an output that fails"
for case in disk_full dev_full reader_gone_ignored; do
    check_status "buslisten ends: $case" 1 "$out/$case/status"
done
for case in disk_full dev_full; do
    echo 'write failed: No space left on device' |
        check_bytes "standard error is the one write failure: $case" <(own_stderr "$out/$case/stderr")
done
size=$(wc -c < "$out/disk_full/stdout")
check_true "the output filled its 64 KiB file system ($size bytes)" [ "$size" = 65536 ]
{ printf '%s\r\n' "$buslisten_banner"; candump_as_blocks < "$out/disk_full/candump"; } |
    head -c "$size" | check_bytes "the file holds every block that fitted" "$out/disk_full/stdout"
echo 'write failed: Broken pipe' | check_bytes "standard error is the one write failure" \
    <(own_stderr "$out/reader_gone_ignored/stderr")
check_status "SIGPIPE at its default ends buslisten" 141 "$out/reader_gone_default/status"
check_bytes "with no report" <(own_stderr "$out/reader_gone_default/stderr") < /dev/null
for sigpipe in default ignored; do
    printf '%s\r\n' "$buslisten_banner" |
        check_bytes "the pipe's reader took the banner ($sigpipe)" "$out/reader_gone_$sigpipe/read"
done

echo "a non-blocking output whose reader stalls"
# The guest's one processor may also fall behind the burst before the
# pipe is full, so there may be more reports; but a stall's last losses
# come with the frame sent after it.
reported=$(grep -B2 '^can_id = 0x7FF' "$out/stalled/output" | grep -c '^dropped ')
check_true "a dropped line just before the frame after each stall ($reported of 2)" [ "$reported" = 2 ]
{ printf '%s\r\n' "$buslisten_banner"; blocks_and_drops "$out/stalled/candump" "$out/stalled/output"; } |
    check_bytes "every frame printed whole, once, or reported dropped just before the next" \
        <(own_stderr "$out/stalled/output")

for case in short_reads stalled busemit_frame cansend down_up load; do
    echo yes | check_bytes "buslisten still running after $case" "$out/$case/running"
done

echo "can0's controller removed"
check_status "buslisten ends" 1 "$out/removed/status"
echo 'read failed: No such device' |
    check_bytes "standard error is the one read failure, no frame dropped under load" \
        <(own_stderr "$out/listen/stderr")
check_bytes "standard output kept every block printed before" \
    "$out/listen/stdout" < "$out/removed/stdout_before"

finish
