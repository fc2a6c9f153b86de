// Runs the engine over a package while one host call, chosen by the input, fails.
// Input: operation (1 byte), call index (2 bytes), kind of fault (1 byte), package.
#include <cstdio>

#include "engine/fwdeploy.h"
#include "fuzz/fuzz_host.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    fuzz_reset(data + 4, size - 4);
    fuzz.fault_op = data[0] % F_OP_COUNT;
    fuzz.fault_call = 1u + (uint32_t)(data[1] | (data[2] << 8)) % 64u;
    fuzz.fault_kind = (fuzz_fault)(data[3] % 3);
    upgrade_ops ops = fuzz_ops();
    int result = upgrade_run(&ops);
    fuzz_check_common(result);
    return 0;
}
