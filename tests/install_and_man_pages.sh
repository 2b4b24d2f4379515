#!/bin/bash
# SPDX-License-Identifier: MIT
# The install: both programs and both man pages, man pages that render
# without a warning at a terminal's width and give the exact commands and
# texts.
# Usage: install_and_man_pages.sh BUILD_DIR
set -u
build_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "cmake --install"
DESTDIR=$work/root cmake --install "$build_dir" --prefix /usr > "$work/install.log" ||
    failed "cmake --install"
for file in bin/busemit bin/buslisten share/man/man1/busemit.1 share/man/man1/buslisten.1; do
    check_true "installed $file" [ -s "$work/root/usr/$file" ]
done
check_true "installed programs are executable" \
    [ -x "$work/root/usr/bin/busemit" -a -x "$work/root/usr/bin/buslisten" ]

echo "man pages"
for page in busemit:can1 buslisten:can0; do
    name=${page%%:*}
    ifname=${page#*:}
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$name.1" \
        > "$work/$name.txt" 2> "$work/$name.warnings"
    check_bytes "$name.1 renders without a warning" "$work/$name.warnings" < /dev/null
    setup_commands "$ifname" | while read -r command; do
        check_true "$name.1 gives the command 'sudo $command'" \
            grep -qF "sudo $command" "$work/$name.txt"
    done
    # Justified text must not widen, nor break, the two blanks of this one.
    check_bytes "$name.1 shows 'Send  frame incompletely!' as the program prints it" \
        <(grep 'Send' "$work/$name.txt" | grep -v 'Send  frame incompletely!') < /dev/null
done

finish
