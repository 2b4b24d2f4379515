#!/bin/bash
# SPDX-License-Identifier: MIT
# The Debian package of an architecture, as scripts/package made it:
# lintian passes it with no error or warning and shows no hardening tag,
# it holds both programs and both man pages with the dependencies that
# the programs' commands need; and, for this machine's architecture, no
# package in Debian's package lists has its name.
# Usage: debian_package.sh ARCH PACKAGE_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
arch=$1
name=$(dpkg-parsechangelog -l "$here/../debian/changelog" -S Source)
package=$2/${name}_$(dpkg-parsechangelog -l "$here/../debian/changelog" -S Version)_$arch.deb
source "$here/check_lib.sh"
source "$here/../emulator/common.sh"
"$here/../scripts/install-deps" --for "checking the packages" lintian

echo "$(basename "$package")"
check_true "the package was made" [ -f "$package" ]
tags=$(lintian -I --fail-on error,warning "$package" 2> /dev/null) ||
    failed "lintian passes it: $tags"
hardening=$(grep 'hardening-' <<< "$tags")
check_true "lintian -I shows no hardening tag ($hardening)" [ -z "$hardening" ]
printf '%s\n' ./usr/bin/busemit ./usr/bin/buslisten \
    ./usr/share/man/man1/busemit.1.gz ./usr/share/man/man1/buslisten.1.gz |
    check_bytes "both programs and both compressed man pages" \
        <(dpkg-deb -c "$package" | awk '{ print $6 }' | grep -E '/(bin|man1)/.' | sort)
depends=$(dpkg-deb -f "$package" Depends)
for needed in iproute2 net-tools sudo libc6; do
    check_true "it depends on $needed ($depends)" grep -qw "$needed" <<< "$depends"
done

# A name that Debian gives to another package would make ours a newer
# version of that one. Looked up in this machine's package lists and in
# those of the suites that the emulator keeps, binary and source names.
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    echo "the name $name among Debian's packages"
    lists=$(ls /var/lib/apt/lists/*_Packages* /var/lib/apt/lists/*_Sources* \
        "$cache_root"/apt-*/lists/*_Packages* 2> /dev/null)
    check_true "this machine has Debian's package lists" [ -n "$lists" ]
    # shellcheck disable=SC2086  # one file a word
    taken=$(/usr/lib/apt/apt-helper cat-file $lists |
        grep -E "^(Package|Source|Provides): (.*[ ,])?$name([ ,(]|\$)" | sort -u | tr '\n' ' ')
    check_true "no package in them is called $name ($taken)" [ -z "$taken" ]
fi

finish
