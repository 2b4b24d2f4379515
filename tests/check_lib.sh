# SPDX-License-Identifier: MIT
# Byte-exact checks for the test scripts. The checks often run at the end
# of a pipeline, in a subshell, so failures are counted in a file.
failures_file=$(mktemp)

failed() {
    echo "FAIL: $1"
    echo "$1" >> "$failures_file"
}

# check_bytes WHAT ACTUAL: compares ACTUAL with standard input, byte for byte.
check_bytes() {
    local expected
    expected=$(mktemp)
    cat > "$expected"
    if ! cmp -s "$expected" "$2"; then
        failed "$1"
        echo "  expected:"; od -c "$expected" | sed 's/^/    /'
        echo "  actual:"; od -c "$2" 2>&1 | sed 's/^/    /'
    fi
    rm -f "$expected"
}

# check_true WHAT COMMAND...: the command must succeed.
check_true() {
    local what=$1
    shift
    "$@" || failed "$what"
}

# check_status WHAT EXPECTED FILE: the exit status recorded in FILE.
check_status() {
    local actual
    actual=$(cat "$3" 2>/dev/null)
    [ "$actual" = "$2" ] || failed "$1: exit status '$actual', expected $2"
}

# bitrate_warning HOST ABI: the line that ip gives on standard error,
# and the programs pass on as their command's own output, when the host's
# controllers cannot make 2 Mbit/s exactly (the targets table gives the
# rate they run) and the kernel warns about it, with the number of
# decimals that the table's facts give it; nothing otherwise.
bitrate_warning() {
    local rate decimals
    rate=$(host_data_bitrate "$1")
    decimals=$(kernel_fact warning-decimals "$2")
    [ "$rate" != 2000000 ] && [ -n "$decimals" ] || return 0
    awk -v rate="$rate" -v decimals="$decimals" 'BEGIN {
        error = (rate > 2000000 ? rate - 2000000 : 2000000 - rate) * 100 / 2000000
        scale = 10 ^ decimals
        printf "Warning: bitrate error: %." decimals "f%%.\n", int(error * scale) / scale
    }'
}

# own_stderr FILE: FILE without the line of bitrate_warning, which the
# test scripts keep in $warning.
own_stderr() {
    if [ -z "${warning:-}" ]; then
        cat "$1"
    else
        grep -vxF "$warning" "$1"
    fi
}

# check_fact ABI FACT EXPECTED ACTUAL WHAT: the kernel did what the
# targets table's fact says; where not, one line names the kernel, the
# fact and its row, what the table expects and what happened (WHAT: the
# thing that showed it), so that a maintainer knows which row to change.
check_fact() {
    [ "$3" = "$4" ] ||
        failed "kernel $1: the targets table's fact $2 (from $(fact_from "$2" "$1")) expects '$3', but $5 '$4'"
}

# guest_part RUN_DIR PART: sets out to PART's output of the boot that
# emulated_run.sh made into RUN_DIR, and kernel to the ABI it booted;
# ends the script as a skip when that boot was skipped, and as a failure
# when the part gave up on a wait or gave nothing back.
guest_part() {
    out=$1/$2
    kernel=$(cat "$1/kernel" 2> /dev/null)
    if [ -e "$1/skipped" ]; then
        cat "$1/skipped"
        rm -f "$failures_file"
        exit 77
    fi
    if [ ! -d "$out" ]; then
        echo "FAIL: the guest gave back nothing of $2's cases (see $1/console.log)"
        rm -f "$failures_file"
        exit 1
    fi
    if [ -s "$out/gave-up" ]; then
        echo "FAIL: in the guest, $(cat "$out/gave-up")"
        rm -f "$failures_file"
        exit 1
    fi
}

finish() {
    local failures
    failures=$(wc -l < "$failures_file")
    rm -f "$failures_file"
    if [ "$failures" = 0 ]; then
        echo "all checks passed"
        exit 0
    fi
    echo "$failures checks failed"
    exit 1
}

# The texts the programs and their commands must produce.
busemit_banner='This is a socket canfd transmit demo program ,can1 with Bit Rate 500 kBit/s,Data Bit Rate 2MBit/s'
buslisten_banner='This is a can receive demo,can0 with BitRate 500kBit/s,Date Bit Rate 2MBit/s!'

# setup_commands IFNAME: the three command lines that sudo is given.
setup_commands() {
    printf 'ifconfig %s down\n' "$1"
    printf 'ip link set %s up type can bitrate 500000 dbitrate 2000000 fd on\n' "$1"
    printf 'ifconfig %s up\n' "$1"
}

# setup_marks IFNAME: the lines that the stand-in sudo prints for them.
setup_marks() {
    setup_commands "$1" | sed 's/^/sudo /'
}

# data_lines BYTE...: the eight data lines of a frame; a byte may be "*".
data_lines() {
    local i=0
    for byte in "$@"; do
        printf 'data[%d] = %s\r\n' "$i" "$byte"
        i=$((i + 1))
    done
}

# listen_block standard|extended ID DLC BYTE...: buslisten's lines for a frame.
listen_block() {
    printf 'Received %s frame!\n' "$1"
    printf 'can_id = 0x%s\r\ncan_dlc = %d \r\n' "$2" "$3"
    shift 3
    data_lines "$@"
}

# mask_beyond_length: buslisten's output with each data byte past the
# frame's length code shown as "*".
mask_beyond_length() {
    awk '/^can_dlc = / { length_code = $3 }
         /^data\[/ { if (substr($1, 6) + 0 >= length_code) sub(/= [0-9]+\r$/, "= *\r") }
         { print }'
}

# candump_as_blocks: buslisten's blocks for the frames in candump -L's
# lines (ID#DATA, eight data bytes each, as cangen -L 8 sends them).
candump_as_blocks() {
    awk 'function hex(text,    value, i) {
             value = 0
             for (i = 1; i <= length(text); i++)
                 value = value * 16 + index("0123456789ABCDEF", toupper(substr(text, i, 1))) - 1
             return value
         }
         {
             split($3, frame, "#")
             printf "Received %s frame!\n", length(frame[1]) == 8 ? "extended" : "standard"
             printf "can_id = 0x%X\r\ncan_dlc = %d \r\n", hex(frame[1]), length(frame[2]) / 2
             for (i = 0; i < 8; i++)
                 printf "data[%d] = %d\r\n", i, hex(substr(frame[2], 2 * i + 1, 2))
         }'
}

# blocks_and_drops CANDUMP OUTPUT: buslisten's blocks for the frames in
# candump -L's log CANDUMP, as they must show in OUTPUT, which holds
# buslisten's standard output and error together: where OUTPUT has a line
# "dropped N frames", that line as buslisten must word it, and the next N
# frames left out. Frames neither printed nor reported come at the end.
blocks_and_drops() {
    awk 'FILENAME == ARGV[1] {
             block[int((FNR - 1) / 11)] = block[int((FNR - 1) / 11)] $0 "\n"
             blocks = int((FNR - 1) / 11) + 1
             next
         }
         /^dropped [0-9]+ / {
             printf "dropped %d frame%s: receive queue full\n", $2, $2 == 1 ? "" : "s"
             next_block += $2
         }
         /^Received / { printf "%s", block[next_block++] }
         END { while (next_block < blocks) printf "%s", block[next_block++] }' \
        <(candump_as_blocks < "$1") "$2"
}

busemit_frame_lines() {
    printf 'can_id  = 0x123\r\ncan_dlc = 8\r\n'
    data_lines 1 2 3 4 5 6 7 8
}
