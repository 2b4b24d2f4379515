#!/bin/bash
# SPDX-License-Identifier: MIT
# How the emulator chooses the kernel that a kernel row boots, without a
# boot: on small archives made here (file:// sources with their own
# package lists, of packages that hold nothing but their names), the
# newest kernel that the archive serves, not merely lists; Debian 12's
# row reading its security suite; a newest track moved on to a series
# that the targets table's facts were never seen on; a release row whose
# series is gone; and a kernel's build tools chosen from the suites alone,
# whatever this machine has installed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
source "$here/../emulator/common.sh"
"$here/../scripts/install-deps" --for "a local Debian archive" apt-utils dpkg-dev
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# archive NAME: a new, empty archive, which apt_in reads every suite from,
# with a cache of its own.
archive() {
    archive_dir=$work/$1
    mkdir -p "$archive_dir/pool"
    export CANFD_BRINGUP_ARCHIVE="[trusted=yes] file://$archive_dir"
    cache_root=$archive_dir/cache
}

# add SUITE NAME VERSION: an amd64 package to the suite.
add() {
    local package=$work/package
    rm -rf "$package"
    mkdir -p "$package/DEBIAN" "$archive_dir/pool/$1"
    printf 'Package: %s\nVersion: %s\nArchitecture: amd64\nMaintainer: nobody <nobody@example.org>\nDescription: stand-in\n' \
        "$2" "$3" > "$package/DEBIAN/control"
    dpkg-deb -b -Zgzip "$package" "$archive_dir/pool/$1/${2}_$3_amd64.deb" > /dev/null
}

# unserve SUITE NAME: the published package stays listed, but its file
# is gone.
unserve() {
    rm "$archive_dir/pool/$1/$2"_*.deb
}

# publish SUITE...: the suites' package lists, for what is in their pools.
publish() {
    local suite arch
    for suite in "$@"; do
        mkdir -p "$archive_dir/pool/$suite"
        for arch in amd64 arm64 armhf; do
            mkdir -p "$archive_dir/dists/$suite/main/binary-$arch"
            (cd "$archive_dir" && apt-ftparchive --arch "$arch" packages "pool/$suite") \
                > "$archive_dir/dists/$suite/main/binary-$arch/Packages" 2> /dev/null
        done
        apt-ftparchive -o APT::FTPArchive::Release::Suite="$suite" \
            -o APT::FTPArchive::Release::Architectures="amd64 arm64 armhf" \
            -o APT::FTPArchive::Release::Components=main release "$archive_dir/dists/$suite" \
            > "$work/Release" && mv "$work/Release" "$archive_dir/dists/$suite/Release"
    done
}

# choose ROW: the choice for amd64 into $choice, its status into
# $choice_status, what it said into $said.
choose() {
    choice_status=0
    choice=$(choose_kernel amd64 "$1" 2> "$work/said") || choice_status=$?
    said=$(grep -v '^ \|^[WEN]: \|^Reading\|^Get:\|^Hit:\|^Ign:' "$work/said")
}

echo "newest track: the newest listed kernel is not served"
archive newest
for version in 7.3.4 7.2.11 7.2.9; do add trixie-backports "linux-headers-$version+deb13-amd64" "$version-1~bpo13+1"; done
publish trixie-backports
unserve trixie-backports linux-headers-7.3.4+deb13-amd64
choose newest
echo 7.2.11+deb13-amd64 | check_bytes "it boots the newest served" <(echo "$choice")
echo "amd64: 7.3.4+deb13-amd64 is listed but not served; booting 7.2.11+deb13-amd64" |
    check_bytes "and says so in one line" <(echo "$said")
unserve trixie-backports linux-headers-7.2.11+deb13-amd64
unserve trixie-backports linux-headers-7.2.9+deb13-amd64
choose newest
check_status "none served: the host's row is skipped" 77 <(echo "$choice_status")
echo "skipped: no kernel of row newest to boot on amd64 until Debian's archive serves one" \
    "(it lists 7.3.4+deb13-amd64, 7.2.11+deb13-amd64, 7.2.9+deb13-amd64 but serves none)" |
    check_bytes "saying why" <(echo "$said")

echo "newest track: moved on to a series that no fact was seen on"
archive moved
for version in 7.4.1 7.3.4; do add trixie-backports "linux-headers-$version+deb13-amd64" "$version-1~bpo13+1"; done
publish trixie-backports
choose newest
echo 7.4.1+deb13-amd64 | check_bytes "it boots the new series" <(echo "$choice")
echo "note: the targets table's facts were seen on no kernel of the 7.4 series; 7.4.1+deb13-amd64" \
    "takes those of the newest rows at or below its version" | check_bytes "and says so" <(echo "$said")
for fact in packages-signed warning-decimals classic-message classic-bitrate; do
    check_bytes "7.4.1 has the $fact of 7.3.4" <(kernel_fact $fact 7.4.1+deb13-amd64) \
        < <(kernel_fact $fact 7.3.4+deb13-amd64)
done

echo "Debian 12's row: its security suite, and the build tools of the suites alone"
archive bookworm
add bookworm linux-headers-6.1.0-50-amd64 6.1.176-1
add bookworm linux-kbuild-6.1 6.1.176-1
add bookworm-security linux-headers-6.1.0-58-amd64 6.1.194-1
publish bookworm bookworm-updates bookworm-security
choose 6.1
echo 6.1.0-58-amd64 | check_bytes "it boots the security suite's kernel" <(echo "$choice")
# A newer linux-kbuild-6.1 installed here than the suite has, in the
# status file that apt would read.
printf 'Package: linux-kbuild-6.1\nStatus: install ok installed\nVersion: 6.1.199-1\nArchitecture: amd64\nMaintainer: nobody <nobody@example.org>\nDescription: stand-in\n' \
    > "$work/status"
echo "Dir::State::status \"$work/status\";" > "$work/apt.conf"
mkdir -p "$work/download"
(cd "$work/download" && APT_CONFIG=$work/apt.conf apt_in "$(kernel_track 6.1 amd64)" apt-get download -qq \
    linux-kbuild-6.1) > "$work/download.log" 2>&1 ||
    failed "the suite's linux-kbuild-6.1 downloads, whatever is installed here: $(cat "$work/download.log")"
check_true "it is the suite's version" [ -f "$work/download/linux-kbuild-6.1_6.1.176-1_amd64.deb" ]

echo "Debian 12's row: its series gone from the suites"
archive gone
add bookworm linux-headers-6.12.57+deb12-amd64 6.12.57-1
publish bookworm bookworm-updates bookworm-security
choose 6.1
check_status "the host's row is skipped" 77 <(echo "$choice_status")
echo "skipped: bookworm, bookworm-updates, bookworm-security list no kernel of the 6.1 series for amd64:" \
    "nothing to boot on kernel row 6.1" | check_bytes "saying why" <(echo "$said")

finish
