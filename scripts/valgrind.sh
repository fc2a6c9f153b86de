#!/usr/bin/env bash
# Runs the end-to-end suite with every fwdeploy run under valgrind memcheck: no
# memory error, no leak, and no descriptor left open at exit beyond 0, 1 and 2.
# Uses the native build in build/ (scripts/test.sh makes it).
#   bash scripts/valgrind.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/tests/fwdeploy_tests ] || bash scripts/test.sh
logs=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-valgrind.XXXXXX")
trap 'rm -rf "$logs"' EXIT

# The MTD cases, the crash tests, the test of the descriptors bspatch gets,
# that of a pin without memory for its record, and those of refused leases and
# of a statx without a mount id rely on preloaded stand-ins that valgrind's own preloads displace, and the
# banner case names argv[0], which valgrind does not pass on; they run natively
# and under the sanitizers instead. So does the cut at every byte of a package:
# hundreds of runs, whose refusal paths the single-byte changes take too.
filter='Apply*:BadPackage*:CommandLine*:CompressedPackage*:EnvelopeBoard*:SignedPackage*:Slot*:WholeRun*:-ApplyMtd*:ApplyCrash*:ApplyPatch.OnlyBspatchGetsTheScratchAndResultDescriptors:SignedPackage.APinWithoutMemoryForItsRecordRefusesEveryLaterPass:SignedPackage.LaterPassesRunOnlyTheBytesThatWereVerified:ApplyFiles.WithoutTheMountIdAnOrdinaryFileIsStillReplacedWhole:SlotSwitch.ARunKilledAtItsFirstWriteOfTheSlotLeavesItUnbootable:BadPackage.EveryTruncationPointIsRefusedWithoutWriting:CommandLine.BannerLinesHaveTheirShapes'
export FWDEPLOY_TEST_WRAPPER="valgrind --quiet --error-exitcode=99 --track-fds=yes \
--leak-check=full --errors-for-leak-kinds=definite,indirect --log-file=$logs/vg.%p.log"
status=0
build/tests/fwdeploy_tests --gtest_filter="$filter" --gtest_brief=1 || status=1

runs=0
for log in "$logs"/vg.*.log; do
    # Logs without a descriptor summary belong to forked children that exec'ed
    # another program (gunzip, nandwrite, sh), which valgrind does not follow.
    grep -q 'FILE DESCRIPTORS' "$log" || continue
    runs=$((runs + 1))
    # Three standard descriptors and valgrind's own log file.
    if ! grep -q 'FILE DESCRIPTORS: 4 open' "$log" || grep -qE 'definitely lost|indirectly lost|Invalid|uninitialised' "$log"; then
        echo "== $log"; cat "$log"; status=1
    fi
done
echo "valgrind: $runs fwdeploy runs checked"
[ "$runs" -gt 0 ] || status=1
exit $status
