#!/bin/sh
# The A/B update on an emulated ARM board, for a first look, in one command:
# builds what is missing, boots the board from slot A, applies a package that
# writes @rootfs (the slot that is not running), reboots into slot B, confirms
# it there with fwdeploy -g and reboots once more, which stays on B. Each boot
# shows what the boot script and the board's init reported on the console.
#
#   examples/demo-ab.sh        (as root, or with sudo: installs missing Debian packages)
#
# The whole console of each boot is kept in build-board/run/update/boot-N.log.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
exec bash "$root/scripts/board-test.sh" update
