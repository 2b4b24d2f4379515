#!/bin/bash
# SPDX-License-Identifier: MIT
# The Debian package of an architecture, as scripts/package made it:
# lintian passes it with no error or warning and shows no hardening tag,
# and it holds both programs and both man pages with the dependencies
# that the programs' commands need.
# Usage: debian_package.sh ARCH PACKAGE_DIR
set -u
arch=$1
package=$2/bustools_$(dpkg-parsechangelog -l "$(dirname "$0")/../debian/changelog" -S Version)_$arch.deb
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
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

finish
