// The package format's byte sum, in each form this processor may run: the
// plain loop that every other form must equal, and on 32-bit ARM the USADA8
// form (ARMv6 and later) and the NEON form, which byte_sum picks at run time
// where the kernel reports NEON (Debian's armhf baseline has none).
#pragma once

#include <cstdint>

uint32_t byte_sum_plain(uint32_t initial, const uint8_t* bytes, int length);

#if defined(__arm__) && defined(__ARM_FEATURE_SIMD32)
#define FWDEPLOY_BYTE_SUM_ARM 1
uint32_t byte_sum_usada8(uint32_t initial, const uint8_t* bytes, int length);
// Only where byte_sum_neon_offered(): an instruction the core lacks kills the run.
uint32_t byte_sum_neon(uint32_t initial, const uint8_t* bytes, int length);
bool byte_sum_neon_offered();
#endif
