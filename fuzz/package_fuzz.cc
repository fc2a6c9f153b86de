// Runs the whole engine over the fuzzer's bytes as a package.
#include <cstdio>

#include "engine/fwdeploy.h"
#include "engine/verify.h"
#include "fuzz/fuzz_host.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The engine's console lines would drown the fuzzer's own output.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // What verification alone says of these bytes decides what may follow.
    fuzz_reset(data, size);
    upgrade_ops ops = fuzz_ops();
    run_record run = run_of(&ops);
    int verified = verify_package(&ops.src, ops.package_path, ops.report_progress,
                                  ops.get_buffer_size(), &run);

    fuzz_reset(data, size);
    int result = upgrade_run(&ops);
    fuzz_check_common(result);
    if (verified < 0) {
        fuzz_require(result == -1 && fuzz.board_calls == 0 && fuzz.scripts == 0,
                     "something ran although the package failed verification");
        return 0;
    }
    fuzz_require(fuzz.failures[1] == 0, "verification failed the second time");
    // The attributes, and the slot being written when the package writes one.
    fuzz_require(fuzz.script_variables == 4,
                 "the scripts did not get the package's attributes and the slot");
    fuzz_require(fuzz.switches <= 1, "the boot loader switched twice");
    if (result == 0) {
        // Without injected faults the apply pass fails only with a report.
        bool failed = fuzz.failures[2] != 0;
        fuzz_require(failed != fuzz.finished, "the apply pass neither finished nor failed");
        fuzz_require(fuzz.last_script.compare(0, 13, failed ? "OTA_STATUS=-1" : "OTA_STATUS=0\n") == 0,
                     "the end script got the wrong status");
    }
    return 0;
}
