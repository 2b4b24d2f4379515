#!/bin/bash
# SPDX-License-Identifier: MIT
# The package's as-installed test (debian/tests/vxcan) as it ran in the
# emulated host, against the programs installed where the package puts
# them: it must pass. Its own lines say what it checked.
# Usage: autopkgtest_on_bus.sh HOST ROW RUN_DIR, with the boot that
# emulated_run.sh made into RUN_DIR.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/check_lib.sh"
guest_part "$3" autopkgtest
sed 's/^/  /' "$out/log"
check_status "debian/tests/vxcan on the $1 host, Linux $kernel" 0 "$out/status"
finish
