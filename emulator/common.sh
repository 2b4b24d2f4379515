# SPDX-License-Identifier: MIT
# Shared by the emulator scripts: the targets, their kernels, and where
# the prepared guests live. A target is an emulated host and a kernel
# row, such as "versal 6.12" or "armhf newest". CANFD_BRINGUP_CACHE
# overrides the cache folder; CANFD_BRINGUP_ARCHIVE the Debian archive
# that every suite is read from, such as "[trusted=yes] file:///srv/debian"
# (the tests' own), instead of this machine's.

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

# check_target HOST ROW: both are in the table.
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
host_classic_rows() { target_field host "$1" 9; }
host_data_bitrate() { target_field host "$1" 10; }
kernel_suites() { target_field kernel "$1" 2; }
kernel_series() { target_field kernel "$1" 3; }

# kernel_track ROW ARCH: the row's suites for the architecture as one
# word, the name of their private apt configuration, such as
# bookworm+bookworm-updates+bookworm-security@armhf.
kernel_track() {
    echo "$(kernel_suites "$1" | tr ' ' '+')@$2"
}

# kernel_release ROW: the Debian release of the row's suites, such as trixie.
kernel_release() {
    suite_release "$(kernel_suites "$1" | cut -d' ' -f1)"
}

# abi_version ABI: the kernel's version in its ABI, such as 6.1.0-58 for
# 6.1.0-58-amd64 or 7.3.4+deb13 for 7.3.4+deb13-arm64.
abi_version() {
    sed -E 's/^([0-9]+[.][0-9]+([.][0-9]+)?(-[0-9]+)?([+][a-z0-9.]+)?)-.*/\1/' <<< "$1"
}

# abi_series ABI: the kernel's series, such as 6.1 or 7.3.
abi_series() {
    sed -E 's/^([0-9]+[.][0-9]+).*/\1/' <<< "$1"
}

# fact_row NAME ABI: the targets table's fact row that holds for the
# kernel, the one with the newest version at or below the kernel's, as
# "FROM|VALUE|SEEN ON".
fact_row() {
    local version row best=
    version=$(abi_version "$2")
    while IFS= read -r row; do
        dpkg --compare-versions "$version" ge "${row%%|*}" || continue
        [ -n "$best" ] && dpkg --compare-versions "${best%%|*}" gt "${row%%|*}" && continue
        best=$row
    done < <(awk -F'|' -v name="$1" '
        /^#/ { next }
        { split($1, key, " ") }
        key[1] == "fact" && key[2] == name {
            for (i = 2; i <= 4; i++) gsub(/^ +| +$/, "", $i)
            print $2 "|" $3 "|" $4
        }' "$emulator_dir/targets")
    [ -n "$best" ] || { echo "error: no fact $1 in $emulator_dir/targets for kernel $2" >&2; return 1; }
    echo "$best"
}

# kernel_fact NAME ABI: the fact's value for the kernel ("-": nothing).
kernel_fact() {
    local row
    row=$(fact_row "$1" "$2") || return 1
    row=${row#*|}
    row=${row%%|*}
    [ "$row" = - ] || echo "$row"
}

# fact_from NAME ABI: the version from which the table gives the fact's
# value for the kernel.
fact_from() {
    local row
    row=$(fact_row "$1" "$2") || return 1
    echo "${row%%|*}"
}

# facts_seen_on SERIES: whether the table's facts were seen on a kernel
# of the series.
facts_seen_on() {
    awk -F'|' '/^fact / { print $4 }' "$emulator_dir/targets" | tr ',' '\n' |
        grep -qE "^ *${1//./\\.}[.-]"
}

# kernel_packages ARCH ABI: the packages with the image and the modules
# of that kernel.
kernel_packages() {
    local fact=packages-unsigned
    [ -z "$(arch_signed "$1")" ] || fact=packages-signed
    kernel_fact $fact "$2" | sed "s/ABI/$2/g"
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

# debian_archive [security]: the address of the Debian archive (or of
# its security archive) that this machine's own package sources use,
# from its deb822 .sources files (as Debian 13 installs them) or its
# one-line sources.list files (as debootstrap writes them); or
# CANFD_BRINGUP_ARCHIVE, for both. The private suites and the Debian
# trees come from there.
debian_archive() {
    local uri security
    if [ -n "${CANFD_BRINGUP_ARCHIVE:-}" ]; then
        echo "$CANFD_BRINGUP_ARCHIVE"
        return
    fi
    uri=$(apt_source_uris | grep -E '/debian/?$' | head -n 1)
    if [ -z "$uri" ]; then
        echo "error: this machine's apt sources (/etc/apt/sources.list, /etc/apt/sources.list.d)" \
            "name no Debian archive (an address ending in /debian) to fetch Debian's kernels from" >&2
        return 1
    fi
    if [ "${1:-}" = security ]; then
        # The sources' security archive, else the one beside the archive.
        security=$(apt_source_uris | grep -E '/debian-security/?$' | head -n 1 || true)
        uri=${security:-${uri%/}-security}
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

# apt_in SUITES COMMAND ARGUMENT...: runs apt-get or apt-cache on the
# package lists of the suites: the machine's own ("-"), or a private set
# kept in the cache for one suite or several joined by "+" (a kernel
# row's track), for this machine's architectures or, after "@", for this
# machine's and one other only (so that an index that the archive serves
# cut short for one architecture hides no suite from the others). A
# private set reads nothing of this machine's: not its package sources,
# which are never changed, nor its installed packages, so that what it
# chooses is the suites' whatever is installed here.
# apt's binary cache of the lists is kept in our cache, even where the
# machine's apt keeps none, so that a question to apt takes a moment,
# not seconds. A download that fails is tried again.
apt_in() {
    local suites=$1 command=$2 apt_dir archive suite
    shift 2
    set -- -o Acquire::Retries=3 "$@"
    case $suites in
        *@*) set -- -o APT::Architectures="$(dpkg --print-architecture),${suites##*@}" "$@" ;;
    esac
    if [ "$suites" = - ] || [ -z "$suites" ]; then
        mkdir -p "$cache_root"
        "$command" -o Dir::Cache::pkgcache="$cache_root/apt-pkgcache.bin" \
            -o Dir::Cache::srcpkgcache="$cache_root/apt-srcpkgcache.bin" "$@"
        return
    fi
    apt_dir=$cache_root/apt-$suites
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    : > "$apt_dir/status"
    for suite in $(tr '+' ' ' <<< "${suites%@*}"); do
        case $suite in
            *-security) archive=$(debian_archive security) ;;
            *) archive=$(debian_archive) ;;
        esac || return 1
        echo "deb $archive $suite main"
    done > "$apt_dir/sources.list.$$"
    mv "$apt_dir/sources.list.$$" "$apt_dir/sources.list"
    "$command" -o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=- \
        -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status" \
        -o Dir::Cache="$apt_dir/cache" \
        -o Dir::Cache::pkgcache=pkgcache.bin -o Dir::Cache::srcpkgcache=srcpkgcache.bin \
        -o APT::Sandbox::User=root "$@"
}

# update_lists SUITES: fetches the package lists of the suites (as for
# apt_in), one run at a time.
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

# listed_abis ARCH ROW: the ABIs of the row's kernels for the
# architecture that its suites' package lists have, newest first, such
# as 6.1.0-58-amd64, from the names of their headers packages. The
# answer is kept until the lists change.
listed_abis() {
    local track lists memo series pattern names
    track=$(kernel_track "$2" "$1")
    lists=$cache_root/apt-$track/lists
    memo=$cache_root/abis-$track
    if [ -s "$memo" ] && [ "$memo" -nt "$lists" ]; then
        cat "$memo"
        return
    fi
    series=$(kernel_series "$2")
    # The series, its version's other numbers, a Debian ABI number or
    # tag, the flavour: 6.1.0-58-amd64, 6.12.115+deb13.1-amd64, 7.3.4+deb13-amd64.
    pattern=${series//./[.]}
    pattern="linux-headers-${pattern:-[0-9]+[.][0-9]+}[.-][0-9.]*(-[0-9]+)?([+][a-z0-9.]+)?-$(arch_flavour "$1")"
    mapfile -t names < <(apt_in "$track" apt-cache pkgnames linux-headers- 2> /dev/null |
        grep -E "^$pattern\$")
    [ ${#names[@]} = 0 ] ||
        apt_in "$track" apt-cache show "${names[@]/%/:$1}" 2> /dev/null |
        sed -n 's/^Package: linux-headers-//p' | sort -u | sort -rV | keep "$memo"
    cat "$memo" 2> /dev/null || true
}

# kernel_abis ARCH ROW: the ABIs of the row's kernels for the
# architecture, newest first; the suites' lists are fetched first where
# they have none or are a day old, so that the row follows the archive.
# Without lists, those of the guests prepared earlier. CANFD_BRINGUP_KERNEL
# (a version, such as 7.2.11+deb13) keeps only that kernel: a maintainer
# boots an older kernel of a row so to find which version brought a fact.
kernel_abis() {
    local abis series lists
    lists=$cache_root/apt-$(kernel_track "$2" "$1")/lists
    abis=$(listed_abis "$1" "$2")
    if [ -z "$abis" ] || [ -n "$(find "$lists" -maxdepth 0 -mmin +1440 2> /dev/null)" ]; then
        update_lists "$(kernel_track "$2" "$1")" >&2 || true
        touch "$lists"
        abis=$(listed_abis "$1" "$2")
    fi
    if [ -n "${CANFD_BRINGUP_KERNEL:-}" ]; then
        abis=$(awk -v version="$CANFD_BRINGUP_KERNEL-" 'index($0, version) == 1' <<< "$abis")
    fi
    if [ -z "$abis" ] && ! ls "$lists/"*_Packages* > /dev/null 2>&1; then
        series=$(kernel_series "$2")
        abis=$(ls -1 "$cache_root" 2> /dev/null |
            sed -n "s/^kernel-$1-\(${series:-[0-9]*[.][0-9]*}[.-].*\)-[0-9a-f]*$/\1/p" | sort -rV)
    fi
    echo "$abis"
}

# served ARCH TRACK ABI: whether the archive serves the kernel's
# packages, not only lists them: a mirror may list an architecture's new
# kernel for hours or days before it has its files. Tried with the
# kernel's smallest package, its headers. Any other failure to download
# is shown, and gives 2.
served() {
    local probe status=0
    probe=$(mktemp -d)
    (cd "$probe" && apt_in "$2" apt-get download -qq "linux-headers-$3:$1") > "$probe/log" 2>&1 ||
        status=$?
    if [ $status != 0 ]; then
        grep -qE ' 404 |File not found' "$probe/log" && status=1 || { cat "$probe/log" >&2; status=2; }
    fi
    rm -rf "$probe"
    return $status
}

# joined WORD...: the words, separated by commas.
joined() {
    local IFS=,
    echo "$*" | sed 's/,/, /g'
}

# choose_kernel ARCH ROW: the kernel that the row boots on the
# architecture, by its ABI: the newest of the row's kernels that the
# archive serves, or that is prepared already (where the caller defines
# a function "prepared ABI" that says so). Says in a line when newer ones
# are listed but not served, and when the table's facts were seen on no
# kernel of its series. Gives 77, with a "skipped: " line that says why,
# when no kernel of the row can be had for the architecture.
choose_kernel() {
    local arch=$1 row=$2 track series abis candidate unserved=() status
    track=$(kernel_track "$row" "$arch")
    series=$(kernel_series "$row")
    abis=$(kernel_abis "$arch" "$row")
    if [ -z "$abis" ]; then
        # shellcheck disable=SC2046  # one suite a word
        echo "skipped: $(joined $(kernel_suites "$row")) list no kernel" \
            "${series:+of the $series series }for $arch: nothing to boot on kernel row $row" >&2
        return 77
    fi
    for candidate in $abis; do
        status=0
        { declare -F prepared > /dev/null && prepared "$candidate"; } ||
            served "$arch" "$track" "$candidate" || status=$?
        [ $status != 2 ] || return 1
        if [ $status = 0 ]; then
            if [ ${#unserved[@]} = 1 ]; then
                echo "$arch: ${unserved[0]} is listed but not served; booting $candidate" >&2
            elif [ ${#unserved[@]} -gt 1 ]; then
                echo "$arch: $(joined "${unserved[@]}") are listed but not served; booting $candidate" >&2
            fi
            facts_seen_on "$(abi_series "$candidate")" ||
                echo "note: the targets table's facts were seen on no kernel of the $(abi_series "$candidate")" \
                    "series; $candidate takes those of the newest rows at or below its version" >&2
            echo "$candidate"
            return 0
        fi
        unserved+=("$candidate")
    done
    echo "skipped: no kernel of row $row to boot on $arch until Debian's archive serves one" \
        "(it lists $(joined "${unserved[@]}") but serves none)" >&2
    return 77
}

# missing_parts GUEST: the files of a prepared guest's parts that are
# not there (another version of these scripts, or a person, may have
# removed a part), one a line; nothing when it can boot.
missing_parts() {
    local file
    for file in abi userland/base.cpio.gz userland/sysroot kernel/vmlinuz kernel/modules.cpio.gz; do
        [ -e "$1/$file" ] || echo "$file"
    done
    [ ! -L "$1/qemu" ] || [ -e "$1/qemu/usr/bin" ] || echo "qemu"
}

# mark_used GUEST: the guest and its parts are in use now.
mark_used() {
    local part
    touch "$1/used"
    for part in userland kernel qemu; do
        [ ! -e "$1/$part" ] || touch "$1/$part/used"
    done
}

# sweep_cache: removes the guests that have not been used for 30 days,
# then the parts unused as long that no guest left refers to, whichever
# version of these scripts made them; what a version that marks no use
# made is kept.
sweep_cache() {
    local folder referred
    for folder in $(find "$cache_root" -mindepth 2 -maxdepth 2 -path "$cache_root/guest-*/used" \
        -mtime +30 -printf '%h\n' 2> /dev/null); do
        remove_unused "$folder"
    done
    referred=$(find "$cache_root" -mindepth 2 -maxdepth 2 -path "$cache_root/guest-*" -type l \
        -exec readlink {} + 2> /dev/null)
    for folder in $(find "$cache_root" -mindepth 2 -maxdepth 2 -name used -mtime +30 \
        -printf '%h\n' 2> /dev/null); do
        grep -qxF "$folder" <<< "$referred" || remove_unused "$folder"
    done
}

# remove_unused FOLDER: removes a cache folder and its lock, saying so.
remove_unused() {
    echo "  removing $(basename "$1") from the cache, unused for 30 days" >&2
    rm -rf "$1" "$1.lock"
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
