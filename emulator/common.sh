# SPDX-License-Identifier: MIT
# Shared by the emulator scripts: the targets, their kernels, and where
# each prepared guest lives. A target is an architecture and a kernel
# series, such as "arm64 6.12". BUSTOOLS_CACHE overrides the cache folder.

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

# check_target ARCH SERIES: both are in the table.
check_target() {
    target_field arch "$1" 1 > /dev/null && target_field kernel "$2" 1 > /dev/null
}

arch_flavour() { target_field arch "$1" 2; }
arch_image_package() { target_field arch "$1" 3; }
arch_qemu() { target_field arch "$1" 4; }
arch_machine() { target_field arch "$1" 5; }
arch_console() { target_field arch "$1" 6; }
arch_cross_prefix() { target_field arch "$1" 7; }
arch_host_packages() { target_field arch "$1" 8; }
arch_no_classic_card() { target_field arch "$1" 9; }
kernel_suite() { target_field kernel "$1" 2; }

# The Debian archive that this machine's own package sources use.
debian_archive() {
    local uri
    uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk '$2 ~ /\/debian\/?$/ { print $2; exit }')
    [ -n "$uri" ] || uri=$(grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$2 ~ /\/debian\/?$/ { print $2; exit }')
    echo "${uri:-http://deb.debian.org/debian}"
}

# apt_for SERIES COMMAND ARGUMENT...: runs apt-get or apt-cache on the
# package lists that have the series' kernel: the machine's own, or a
# private set kept in the cache for a suite that the machine does not use.
# The machine's package sources are never changed.
apt_for() {
    local series=$1 command=$2 suite apt_dir
    shift 2
    suite=$(kernel_suite "$series")
    if [ -z "$suite" ]; then
        "$command" "$@"
        return
    fi
    apt_dir=$cache_root/apt-$suite
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    echo "deb $(debian_archive) $suite main" > "$apt_dir/sources.list"
    "$command" -o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=- \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" \
        -o APT::Sandbox::User=root "$@"
}

# listed_kernel_abi ARCH SERIES: the kernel ABI that the package lists
# give the architecture's kernel metapackage, such as 6.1.0-57-arm64.
listed_kernel_abi() {
    local flavour
    flavour=$(arch_flavour "$1")
    apt_for "$2" apt-cache depends "linux-image-$flavour:$1" 2>/dev/null |
        sed -n "s/^ *Depends: linux-image-\([0-9][^:]*-$flavour\)\(:$1\)\?$/\1/p" | head -n 1
}

# kernel_abi ARCH SERIES: the ABI of Debian's current kernel of the series.
kernel_abi() {
    local abi
    abi=$(listed_kernel_abi "$1" "$2")
    if [ -z "$abi" ]; then
        apt_for "$2" apt-get update -qq >&2 || true
        abi=$(listed_kernel_abi "$1" "$2")
    fi
    if [ -z "$abi" ]; then
        # No package lists: fall back on a guest prepared earlier.
        abi=$(ls -1 "$cache_root" 2>/dev/null |
            sed -n "s/^guest-$1-\($2[.-].*\)-[0-9a-f]*$/\1/p" | sort -V | tail -n 1)
    fi
    [ -n "$abi" ] || { echo "error: cannot tell the ABI of Debian's $2 kernel for $1" >&2; return 1; }
    echo "$abi"
}

# guest_dir ARCH ABI: the prepared guest, also keyed by the scripts and
# the table that make it.
guest_dir() {
    local recipe
    recipe=$(cat "$emulator_dir/prepare" "$emulator_dir/copy-with-libs" "$emulator_dir/targets" |
        sha256sum | cut -c1-12)
    echo "$cache_root/guest-$1-$2-$recipe"
}

# build_programs ARCH FOLDER: builds busemit and buslisten for the
# architecture in FOLDER, with the CMake preset for it, without the tests.
build_programs() {
    local preset=$1
    [ "$1" = "$(dpkg --print-architecture)" ] && preset=native
    # shellcheck disable=SC2046  # the table's package list is split on purpose
    "$project_dir/scripts/install-deps" --architecture "$1" --for "building for $1" cmake make \
        $(arch_host_packages "$1")
    echo "building busemit and buslisten for $1 in $2"
    cmake --preset "$preset" -S "$project_dir" -B "$2" -DBUSTOOLS_TESTS=OFF > /dev/null
    cmake --build "$2" -j "$(nproc)" --target busemit buslisten > /dev/null
}
