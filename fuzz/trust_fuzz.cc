// Feeds the board's trust module what a hostile board owner or package could:
// key files (PEM and DER parsing), and trailers judged against a trusted key
// (layout, key lookup, and BearSSL's signature decoding).
// Input: mode (1 byte), then for mode 0 a key file, for mode 1 the length of
// the package part (1 byte), the package bytes, and the trailer.
#include <cstdio>
#include <cstring>

#include "backends/trust.h"
#include "engine/fwdeploy.h"
#include "fuzz/fuzz_host.h"
#include "fuzz/trust_seeds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0] % 2;
    ++data;
    --size;
    char why[256] = "";
    trust_reset(false);
    if (mode == 0) {
        int r = trust_add_keys(data, size, why, sizeof why);
        fuzz_require(r == 0 ? trusted_key_count() > 0 : trusted_key_count() == 0,
                     "a refused key file left keys trusted");
        fuzz_require(r == 0 || (why[0] != '\0' && strlen(why) < sizeof why),
                     "a key file refused without a reason");
        return 0;
    }
    fuzz_require(trust_add_keys(reinterpret_cast<const uint8_t*>(FUZZ_TRUSTED_KEY),
                                strlen(FUZZ_TRUSTED_KEY), why, sizeof why) == 0,
                 "the fuzz key is not accepted");
    size_t package = size == 0 ? 0 : data[0];
    if (size > 0) {
        ++data;
        --size;
    }
    if (package > size)
        package = size;
    trust_begin();
    trust_update(data, (int)package);
    int verdict = trust_check(data + package, (uint32_t)(size - package), 64);
    fuzz_require(verdict >= TRUST_NO_KEYS && verdict <= TRUST_SIGNED, "an unknown verdict");
    fuzz_require(verdict != TRUST_ACCEPTED && verdict != TRUST_INTACT,
                 "a board with keys accepted a package it could not check");
    return 0;
}
