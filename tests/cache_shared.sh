#!/bin/bash
# SPDX-License-Identifier: MIT
# Two versions of the emulator's scripts on one cache: this tree's and a
# copy whose recipe differs (so it makes parts of its own), booting the
# emulated host alternately, this tree's again last. Every boot must
# work, and the last must find its guest as the first left it: making a
# part deletes nothing that another version's guest uses.
# Usage: cache_shared.sh HOST ROW
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The other version: the same scripts, with a recipe of its own.
mkdir -p "$work/other/scripts"
cp -r "$here/../emulator" "$work/other/"
cp "$here/../scripts/install-deps" "$work/other/scripts/"
echo "# another version of the recipe" >> "$work/other/emulator/prepare"
printf 'echo booted > /out/booted\n' > "$work/script"

# boot VERSION: boots the host with that version's scripts.
boot() {
    local run=$work/run-$1-$((++boots))
    echo "booting with the scripts of $1"
    "$work/$1/emulator/run-guest" "$host" "$row" "$run" "$work/script" 2> "$run.stderr"
    echo booted | check_bytes "the boot with $1's scripts worked ($(tail -n 1 "$run.stderr"))" \
        "$run/booted"
    last_stderr=$run.stderr
}
host=$1
row=$2
boots=0
ln -s "$here/.." "$work/tree"
boot tree
boot other
boot tree
prepared_again=$(grep 'preparing\|lacks' "$last_stderr")
check_true "the last boot prepared nothing again ($prepared_again)" [ -z "$prepared_again" ]
finish
