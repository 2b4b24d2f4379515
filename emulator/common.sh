# SPDX-License-Identifier: MIT
# Shared by the emulator scripts: the targets, their kernels, and where
# the prepared guests live. A target is an emulated host and a kernel
# series, such as "versal 6.12". CANFD_BRINGUP_CACHE overrides the cache folder.

emulator_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project_dir=$(dirname "$emulator_dir")
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache_root=${CANFD_BRINGUP_CACHE:-${XDG_CACHE_HOME:-${home:-/tmp}/.cache}/canfd-bringup}

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
arch_signed() { target_field arch "$1" 3; }
arch_cross_prefix() { target_field arch "$1" 4; }
arch_build_packages() { target_field arch "$1" 5; }
controller_sources() { target_field controller "$1" 2; }
controller_kbuild() { target_field controller "$1" 3 | sed 's/; */\n/g'; }
controller_modules() { target_field controller "$1" 4; }
host_arch() { target_field host "$1" 2; }
host_qemu() { target_field host "$1" 3; }
host_qemu_packages() { target_field host "$1" 4; }
host_qemu_least() { target_field host "$1" 5; }
host_machine() { target_field host "$1" 6; }
host_console() { target_field host "$1" 7; }
host_controller() { target_field host "$1" 8; }
host_classic_series() { target_field host "$1" 9; }
host_data_bitrate() { target_field host "$1" 10; }
kernel_suite() { target_field kernel "$1" 2; }
kernel_warning_decimals() { target_field kernel "$1" 5; }
kernel_classic_message() { target_field kernel "$1" 6; }
kernel_classic_bitrate() { target_field kernel "$1" 7; }

# kernel_packages ARCH SERIES ABI: the packages with the image and the
# modules of that kernel.
kernel_packages() {
    local field=4
    [ -z "$(arch_signed "$1")" ] || field=3
    target_field kernel "$2" $field | sed "s/ABI/$3/g"
}

# suite_release SUITE: the Debian release of a suite, such as trixie for
# trixie-backports.
suite_release() {
    echo "${1%%-*}"
}

# arch_controllers ARCH: the CAN FD controllers of the hosts of the architecture.
arch_controllers() {
    local host
    for host in $(table_names host); do
        [ "$(host_arch "$host")" = "$1" ] && host_controller "$host"
    done | sort -u
}

# host_qemu_suite HOST: nothing where this machine's release has a QEMU
# for the host, else the suite to unpack it from: the backports of this
# machine's release.
host_qemu_suite() {
    local least version
    least=$(host_qemu_least "$1")
    [ -n "$least" ] || return 0
    version=$(apt_in - apt-cache policy "$(host_qemu_packages "$1" | cut -d' ' -f1)" 2> /dev/null |
        sed -n 's/^ *Candidate: \([0-9]*:\)\?//p')
    dpkg --compare-versions "${version:-0}" ge "$least" || echo "$(machine_release)-backports"
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

# debian_archive: the address of the Debian archive that this machine's
# own package sources use, from its deb822 .sources files (as Debian 13
# installs them) or its one-line sources.list files (as debootstrap
# writes them). The private suites and the Debian trees come from there.
debian_archive() {
    local uri
    uri=$(apt_source_uris | grep -E '/debian/?$' | head -n 1)
    if [ -z "$uri" ]; then
        echo "error: this machine's apt sources (/etc/apt/sources.list, /etc/apt/sources.list.d)" \
            "name no Debian archive (an address ending in /debian) to fetch Debian's kernels from" >&2
        return 1
    fi
    echo "${uri%/}"
}

# apt_source_uris: the addresses of this machine's deb sources, from its
# deb822 .sources files and its one-line .list files, in that order.
apt_source_uris() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk '/^Types:/ { deb = / deb( |$)/ } /^URIs:/ && deb { for (i = 2; i <= NF; i++) print $i }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) .*/\2/p' "$file"
    done
}

# machine_release: the Debian release of this machine, such as trixie.
machine_release() {
    (. /etc/os-release && echo "${VERSION_CODENAME:?}")
}

# apt_in SUITE COMMAND ARGUMENT...: runs apt-get or apt-cache on the
# package lists of the suite: the machine's own ("-"), or a private set
# kept in the cache for a suite that the machine does not use. The
# machine's package sources are never changed. apt's binary cache of the
# lists is kept in our cache, even where the machine's apt keeps none, so
# that a question to apt takes a moment, not seconds. A download that
# fails is tried again.
apt_in() {
    local suite=$1 command=$2 apt_dir archive
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
    archive=$(debian_archive) || return 1
    echo "deb $archive $suite main" > "$apt_dir/sources.list.$$"
    mv "$apt_dir/sources.list.$$" "$apt_dir/sources.list"
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

# keep FILE: what comes in, into FILE, whole or not at all.
keep() {
    mkdir -p "${1%/*}"
    cat > "$1.$$" && mv "$1.$$" "$1"
}

# listed_abis ARCH SERIES: the ABIs of the kernels of the series for the
# architecture that the suite's package lists have, newest first, such
# as 6.1.0-41-amd64, from the names of their first package. The answer is
# kept until the lists change.
listed_abis() {
    local suite lists memo flavour first pattern name
    suite=$(kernel_suite "$2")
    lists=$cache_root/apt-$suite/lists
    memo=$cache_root/abis-$1-$2
    if [ -s "$memo" ] && [ "$memo" -nt "$lists" ]; then
        cat "$memo"
        return
    fi
    flavour=$(arch_flavour "$1")
    first=$(kernel_packages "$1" "$2" ABI | cut -d' ' -f1)
    # The series, its version's other numbers, a Debian ABI number or
    # tag, the flavour: 6.1.0-41-amd64, 6.12.57+bpo-amd64, 7.3.4+deb13-amd64.
    pattern="${2//./\\.}[.-][0-9.]*(-[0-9]+)?([+][a-z0-9]+)?-$flavour"
    for name in $(apt_in "$suite" apt-cache pkgnames "${first%%ABI*}" 2> /dev/null |
        grep -E "^${first/ABI/$pattern}\$"); do
        apt_in "$suite" apt-cache show "$name:$1" > /dev/null 2>&1 || continue
        name=${name#"${first%%ABI*}"}
        echo "${name%"${first##*ABI}"}"
    done | sort -rV | keep "$memo"
    cat "$memo"
}

# newest_abi ARCH SERIES: the ABI of the newest kernel of the series'
# suite for the architecture, whatever its series: what the suite's
# kernel metapackage depends on.
newest_abi() {
    local suite memo flavour
    suite=$(kernel_suite "$2")
    memo=$cache_root/newest-$1-$suite
    if [ ! -s "$memo" ] || [ "$cache_root/apt-$suite/lists" -nt "$memo" ]; then
        flavour=$(arch_flavour "$1")
        apt_in "$suite" apt-cache depends "linux-image-$flavour:$1" 2> /dev/null |
            sed -n "s/^ *Depends: linux-image-\([0-9][^:]*-$flavour\)\(:$1\)\?$/\1/p" |
            head -n 1 | keep "$memo"
    fi
    cat "$memo"
}

# kernel_abis ARCH SERIES: the ABIs of the series' kernels for the
# architecture, newest first; the suite's lists are fetched first where
# they have none. A series that the suite no longer has stops the run:
# its row in the targets table must move on with the suite.
kernel_abis() {
    local abis newest
    abis=$(listed_abis "$1" "$2")
    if [ -z "$abis" ]; then
        update_lists "$(kernel_suite "$2")" >&2 || true
        abis=$(listed_abis "$1" "$2")
    fi
    if [ -z "$abis" ]; then
        # No package lists: fall back on a guest prepared earlier.
        abis=$(ls -1 "$cache_root" 2> /dev/null |
            sed -n "s/^kernel-$1-\($2[.-].*\)-[0-9a-f]*$/\1/p" | sort -rV)
    fi
    if [ -z "$abis" ]; then
        newest=$(newest_abi "$1" "$2")
        echo "error: $(kernel_suite "$2") has no kernel of the $2 series for $1${newest:+ (its newest is $newest)}:" \
            "the targets table's kernel row $2 must move on to the series that the suite has now" >&2
        return 1
    fi
    echo "$abis"
}

# release_tree RELEASE PURPOSE: a minimal tree of the Debian release (such
# as trixie) for the purpose (such as "build"), made once with debootstrap
# and kept in the cache, from the archive that this machine's package
# sources use; prints its folder. Needs root.
release_tree() {
    local tree=$cache_root/tree-$1-$2
    if [ ! -f "$tree/ready" ]; then
        "$project_dir/scripts/install-deps" --for "a minimal Debian $1 tree" debootstrap >&2
        with_lock "$tree.lock" make_release_tree "$1" "$tree"
    fi
    echo "$tree/root"
}

make_release_tree() {
    local release=$1 tree=$2 archive
    [ -f "$tree/ready" ] && return
    archive=$(debian_archive) || return 1
    echo "  making a minimal Debian $release tree with debootstrap (first time only)" >&2
    rm -rf "$tree"
    mkdir -p "$tree"
    if ! debootstrap --variant=minbase "$release" "$tree/root" "$archive" \
        > "$tree/debootstrap.log" 2>&1; then
        cat "$tree/debootstrap.log" >&2
        echo "error: debootstrap of Debian $release failed" >&2
        return 1
    fi
    touch "$tree/ready"
}

# in_tree TREE FOLDER COMMAND...: runs the command as root in the tree,
# with /dev and /proc, and with FOLDER of this machine at its own path
# there ("-": none); the mounts are the command's own and go with it. The
# tree is mounted on itself, so that its root is a mount point in there
# and the command can enter another tree the same way.
in_tree() {
    local tree=$1 folder=$2
    shift 2
    cp /etc/resolv.conf "$tree/etc/resolv.conf"
    [ "$folder" = - ] || mkdir -p "$tree$folder"
    unshare --mount --propagation private bash -c '
        tree=$1 folder=$2
        shift 2
        mount --bind "$tree" "$tree" &&
            mount --rbind /dev "$tree/dev" && mount -t proc proc "$tree/proc" &&
            { [ "$folder" = - ] || mount --bind "$folder" "$tree$folder"; } &&
            exec chroot "$tree" "$@"' - \
        "$tree" "$folder" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"
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
    cmake --preset "$preset" -S "$project_dir" -B "$2" -DCANFD_BRINGUP_TESTS=OFF > /dev/null
    cmake --build "$2" -j "$(nproc)" --target busemit buslisten > /dev/null
}
