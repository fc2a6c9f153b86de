// The byte sum with NEON, built with -mfpu=neon and called only where the
// kernel reports NEON. No header with inline code here: a function emitted in
// this file could be the copy the linker keeps for the whole program.
#include <arm_neon.h>
#include <stdint.h>

#include "engine/byte_sum.h"

uint32_t byte_sum_neon(uint32_t initial, const uint8_t* bytes, int length)
{
    uint32x4_t wide = vdupq_n_u32(0);
    // Each VPADAL.U8 adds at most 2 * 255 to a 16-bit lane: 128 of them fit
    // (65,280) before the lanes are widened, so 4 lanes x 128 x 16 bytes.
    const int span = 4 * 128 * 16;
    while (length >= 64) {
        int take = length < span ? length & ~63 : span;
        uint16x8_t a = vdupq_n_u16(0), b = a, c = a, d = a;
        const uint8_t* end = bytes + take;
        // VLD4 deals the 64 bytes out over four registers, which a sum does
        // not mind. Four separate loads, or a loop that tests before its
        // first round, made GCC move registers about: 18 to 23 instructions
        // per 64 bytes instead of 10.
        do {
            uint8x16x4_t v = vld4q_u8(bytes);
            a = vpadalq_u8(a, v.val[0]);
            b = vpadalq_u8(b, v.val[1]);
            c = vpadalq_u8(c, v.val[2]);
            d = vpadalq_u8(d, v.val[3]);
            bytes += 64;
        } while (bytes < end);
        wide = vpadalq_u16(wide, a);
        wide = vpadalq_u16(wide, b);
        wide = vpadalq_u16(wide, c);
        wide = vpadalq_u16(wide, d);
        length -= take;
    }
    uint64x2_t pairs = vpaddlq_u32(wide);
    uint32_t sum = initial + (uint32_t)(vgetq_lane_u64(pairs, 0) + vgetq_lane_u64(pairs, 1));
    return byte_sum_usada8(sum, bytes, length);
}
