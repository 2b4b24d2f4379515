# SPDX-License-Identifier: MIT
# Shared by the emulator scripts: the targets, their kernels, and where
# the prepared guests live. A target is an emulated host and a kernel
# series, such as "versal 6.12". BUSTOOLS_CACHE overrides the cache folder.

emulator_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project_dir=$(dirname "$emulator_dir")
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache_root=${BUSTOOLS_CACHE:-${XDG_CACHE_HOME:-${home:-/tmp}/.cache}/bustools}

# target_field KIND NAME FIELD: one field of a line of the targets table
# (KIND arch or kernel; FIELD counts from 1, the name itself).
target_field() {
    local value
    value=$(awk -F'|' -v kind="$1" -v name="$2" -v field="$3" '
        /^#/ { next }
        { split($1, key, " ") }
        key[1] == kind && key[2] == name {
            value = (field == 1) ? key[2] : $field
            gsub(/^ +| +$/, "", value)
            print value
        }' "$emulator_dir/targets")
    [ -n "$value" ] || { echo "error: no $1 '$2' in $emulator_dir/targets" >&2; return 1; }
    [ "$value" = - ] && value=
    echo "$value"
}

# check_target HOST SERIES: both are in the table.
check_target() {
    target_field host "$1" 1 > /dev/null && target_field kernel "$2" 1 > /dev/null
}

# table_names KIND: the names of the table's lines of that kind.
table_names() {
    awk -v kind="$1" '!/^#/ && $1 == kind { print $2 }' "$emulator_dir/targets"
}

arch_flavour() { target_field arch "$1" 2; }
arch_image_package() { target_field arch "$1" 3; }
arch_cross_prefix() { target_field arch "$1" 4; }
arch_build_packages() { target_field arch "$1" 5; }
controller_sources() { target_field controller "$1" 2; }
controller_kbuild() { target_field controller "$1" 3 | sed 's/; */\n/g'; }
controller_modules() { target_field controller "$1" 4; }
host_arch() { target_field host "$1" 2; }
host_qemu() { target_field host "$1" 3; }
host_qemu_packages() { target_field host "$1" 4; }
host_qemu_suite() { target_field host "$1" 5; }
host_machine() { target_field host "$1" 6; }
host_console() { target_field host "$1" 7; }
host_controller() { target_field host "$1" 8; }
host_classic_series() { target_field host "$1" 9; }
host_data_bitrate() { target_field host "$1" 10; }
kernel_suite() { target_field kernel "$1" 2; }

# arch_controllers ARCH: the CAN FD controllers of the hosts of the architecture.
arch_controllers() {
    local host
    for host in $(table_names host); do
        [ "$(host_arch "$host")" = "$1" ] && host_controller "$host"
    done | sort -u
}

# machine_packages HOST: the Debian packages that this machine needs to
# prepare and boot the host: the emulator's tools, the compilers for the
# host's architecture, and QEMU unless it comes from another suite.
machine_packages() {
    echo busybox-static cpio gzip xz-utils make bc dwarves binutils ca-certificates
    arch_build_packages "$(host_arch "$1")"
    [ -n "$(host_qemu_suite "$1")" ] || host_qemu_packages "$1"
}

# with_lock FILE COMMAND...: runs the command while holding FILE's lock, so
# that side-by-side runs make a shared thing once and the others wait.
with_lock() {
    local lock=$1
    shift
    mkdir -p "$(dirname "$lock")"
    (
        flock 9
        "$@"
    ) 9> "$lock"
}

# The Debian archive that this machine's own package sources use.
debian_archive() {
    local uri
    uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk '$2 ~ /\/debian\/?$/ { print $2; exit }')
    [ -n "$uri" ] || uri=$(grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$2 ~ /\/debian\/?$/ { print $2; exit }')
    echo "${uri:-http://deb.debian.org/debian}"
}

# apt_in SUITE COMMAND ARGUMENT...: runs apt-get or apt-cache on the
# package lists of the suite: the machine's own ("-"), or a private set
# kept in the cache for a suite that the machine does not use. The
# machine's package sources are never changed. apt's binary cache of the
# lists is kept in our cache, even where the machine's apt keeps none, so
# that a question to apt takes a moment, not seconds. A download that
# fails is tried again.
apt_in() {
    local suite=$1 command=$2 apt_dir
    shift 2
    set -- -o Acquire::Retries=3 "$@"
    if [ "$suite" = - ] || [ -z "$suite" ]; then
        mkdir -p "$cache_root"
        "$command" -o Dir::Cache::pkgcache="$cache_root/apt-pkgcache.bin" \
            -o Dir::Cache::srcpkgcache="$cache_root/apt-srcpkgcache.bin" "$@"
        return
    fi
    apt_dir=$cache_root/apt-$suite
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    echo "deb $(debian_archive) $suite main" > "$apt_dir/sources.list"
    "$command" -o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=- \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        -o Dir::Cache::pkgcache=pkgcache.bin -o Dir::Cache::srcpkgcache=srcpkgcache.bin \
        -o APT::Sandbox::User=root "$@"
}

# update_lists SUITE: fetches the suite's package lists, one run at a time.
update_lists() {
    if [ "$1" = - ] || [ -z "$1" ]; then
        "$project_dir/scripts/install-deps" --update
    else
        with_lock "$cache_root/apt-$1.lock" apt_in "$1" apt-get update -qq
    fi
}

# apt_for SERIES COMMAND ARGUMENT...: apt_in with the suite that has the
# kernel series.
apt_for() {
    local suite
    suite=$(kernel_suite "$1")
    shift
    apt_in "${suite:--}" "$@"
}

# listed_kernel_abi ARCH SERIES: the kernel ABI that the package lists
# give the architecture's kernel metapackage, such as 6.1.0-57-arm64. The
# answer is kept until the lists change.
listed_kernel_abi() {
    local suite lists memo flavour abi
    suite=$(kernel_suite "$2")
    lists=/var/lib/apt/lists
    [ -n "$suite" ] && lists=$cache_root/apt-$suite/lists
    memo=$cache_root/abi-$1-$2
    if [ -s "$memo" ] && [ "$memo" -nt "$lists" ]; then
        cat "$memo"
        return
    fi
    flavour=$(arch_flavour "$1")
    abi=$(apt_for "$2" apt-cache depends "linux-image-$flavour:$1" 2>/dev/null |
        sed -n "s/^ *Depends: linux-image-\([0-9][^:]*-$flavour\)\(:$1\)\?$/\1/p" | head -n 1)
    [ -n "$abi" ] || return 0
    echo "$abi" > "$memo.$$"
    mv "$memo.$$" "$memo"
    echo "$abi"
}

# kernel_abi ARCH SERIES: the ABI of Debian's current kernel of the series.
kernel_abi() {
    local abi
    abi=$(listed_kernel_abi "$1" "$2")
    if [ -z "$abi" ]; then
        update_lists "$(kernel_suite "$2")" >&2 || true
        abi=$(listed_kernel_abi "$1" "$2")
    fi
    if [ -z "$abi" ]; then
        # No package lists: fall back on a guest prepared earlier.
        abi=$(ls -1 "$cache_root" 2>/dev/null |
            sed -n "s/^kernel-$1-\($2[.-].*\)-[0-9a-f]*$/\1/p" | sort -V | tail -n 1)
    fi
    [ -n "$abi" ] || { echo "error: cannot tell the ABI of Debian's $2 kernel for $1" >&2; return 1; }
    echo "$abi"
}

# build_programs ARCH FOLDER: builds busemit and buslisten for the
# architecture in FOLDER, with the CMake preset for it, without the tests.
build_programs() {
    local preset=$1
    [ "$1" = "$(dpkg --print-architecture)" ] && preset=native
    # shellcheck disable=SC2046  # the table's package list is split on purpose
    "$project_dir/scripts/install-deps" --architecture "$1" --for "building for $1" cmake make \
        $(arch_build_packages "$1")
    echo "building busemit and buslisten for $1 in $2"
    cmake --preset "$preset" -S "$project_dir" -B "$2" -DBUSTOOLS_TESTS=OFF > /dev/null
    cmake --build "$2" -j "$(nproc)" --target busemit buslisten > /dev/null
}
