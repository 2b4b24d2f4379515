#!/bin/bash
# SPDX-License-Identifier: MIT
# Boots the emulated host once with both programs' cases and the
# package's as-installed test (guest/programs_cases), into OUT_DIR/busemit,
# OUT_DIR/buslisten and OUT_DIR/autopkgtest, for busemit_on_bus.sh,
# buslisten_on_bus.sh and autopkgtest_on_bus.sh to check. When there is no
# kernel of the row to boot, it is skipped (77) and leaves the reason in
# OUT_DIR/skipped, for the checks to skip as well.
# Usage: emulated_run.sh HOST ROW OUT_DIR BUSEMIT BUSLISTEN SHORT_READ_SHIM NONBLOCKING_STDOUT
set -u
here=$(cd "$(dirname "$0")" && pwd)
out=$3
rm -rf "$out"
mkdir -p "$out"
"$here/../emulator/run-guest" "$1" "$2" "$out" "$here/guest/programs_cases" \
    "$here/guest/busemit_cases" "$here/guest/buslisten_cases" "$here/guest/autopkgtest_case" \
    "$here/../debian/tests/vxcan" "$here/../scripts/vxcan-bench" "${@:4}" 2> "$out/run.log"
status=$?
cat "$out/run.log" >&2
[ $status != 77 ] || grep '^skipped: ' "$out/run.log" > "$out/skipped"
exit $status
