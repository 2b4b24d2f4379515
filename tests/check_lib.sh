# Byte-exact checks for the test scripts; count failures in $failures.
failures=0

# check_bytes WHAT ACTUAL: compares ACTUAL with standard input, byte for byte.
check_bytes() {
    local expected
    expected=$(mktemp)
    cat > "$expected"
    if ! cmp -s "$expected" "$2"; then
        echo "FAIL: $1"
        echo "  expected:"; od -c "$expected" | sed 's/^/    /'
        echo "  actual:"; od -c "$2" 2>&1 | sed 's/^/    /'
        failures=$((failures + 1))
    fi
    rm -f "$expected"
}

# check_true WHAT COMMAND...: the command must succeed.
check_true() {
    local what=$1
    shift
    if ! "$@"; then
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

# check_status WHAT EXPECTED FILE: the exit status recorded in FILE.
check_status() {
    local actual
    actual=$(cat "$3" 2>/dev/null)
    if [ "$actual" != "$2" ]; then
        echo "FAIL: $1: exit status '$actual', expected $2"
        failures=$((failures + 1))
    fi
}

finish() {
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

# data_lines BYTE...: the eight data lines of a frame.
data_lines() {
    local i=0
    for byte in "$@"; do
        printf 'data[%d] = %d\r\n' "$i" "$byte"
        i=$((i + 1))
    done
}

busemit_frame_lines() {
    printf 'can_id  = 0x123\r\ncan_dlc = 8\r\n'
    data_lines 1 2 3 4 5 6 7 8
}
